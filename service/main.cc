#include "service/WinService.h"

int main(int argc, char** argv) { return lumacor::ProgramMain(argc, argv); }
