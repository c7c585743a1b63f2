#include "app/driver.h"

int main(int argc, char** argv) { return dravex_run(argc, argv); }
