#include "check.hpp"
int main() { return tessaly_test::finish(); }
