#include "fatal.hpp"

int main() { tj::fatal_exit("not built yet"); }
