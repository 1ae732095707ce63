#include "membrane.hpp"
