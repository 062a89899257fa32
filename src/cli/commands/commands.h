#pragma once
// The commands of kalvitrope-cli. Each takes the program's arguments with --language and
// --settings already taken out (argv[1] is the command's name) and returns the exit code; main
// thread.
namespace kv::cli {

int renderCommand(int argc, char** argv);
int playCommand(int argc, char** argv);
int probeCommand(int argc, char** argv);
int kvcCommand(int argc, char** argv);
int presetsCommand(int argc, char** argv);
int mouseCheckCommand(int argc, char** argv);

} // namespace kv::cli
