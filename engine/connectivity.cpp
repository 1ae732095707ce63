#include "connectivity.hpp"
