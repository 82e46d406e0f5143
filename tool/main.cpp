#include <cstdlib>

#include "decomp_disk.h"

int main(int argc, char **argv) { std::exit(decompDiskMain(argc, argv)); }
