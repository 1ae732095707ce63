#include "external.hpp"
