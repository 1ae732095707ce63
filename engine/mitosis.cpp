#include "mitosis.hpp"
