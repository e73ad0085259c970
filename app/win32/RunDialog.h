#pragma once
// The native Windows dialog: resource templates 102 (the test dialog) and 100 (About), driven
// by the same TestDialogLogic as the other front ends.
struct CommandLineOptions;

// Runs the dialog until it is closed; the process's exit code (2 when the start failed).
int RunDialog(int argc, char** argv, const CommandLineOptions& options);
