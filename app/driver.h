#pragma once
// The command-line tool's whole run: arguments in, exit status out (0 or -1).
int dravex_run(int argc, char** argv);
