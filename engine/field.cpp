#include "field.hpp"
