#include "driver/driver.h"

int main(int argc, char** argv) { korvanMain(argc, argv); }
