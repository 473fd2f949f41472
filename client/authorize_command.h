#pragma once

// corvana-helperctl authorize --right NAME... [--user NAME] --out FILE
// argv[0] is "authorize". Exit status: 0 written, 1 failure, 2 usage error.
int authorize_command_main(int argc, char** argv);
