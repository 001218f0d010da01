#include "tool/run_flow.h"

int main(int argc, char** argv) { return run_mapconv(argc, argv); }
