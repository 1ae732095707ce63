#include "length.hpp"
