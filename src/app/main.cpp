#include "app/tovrin_main.h"

int main(int argc, char** argv) { return tovrinMain(argc, argv); }
