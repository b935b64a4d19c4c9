// prog.exe's files: its arguments (the firmware file's path among them), the firmware file and
// its result file, "status.err" in its current folder (which the wizard makes the temporary
// folder). One implementation per platform folder.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

// The command line's arguments, the program's name first, in UTF-8: on Windows read as the
// system keeps them (UTF-16), so that a path outside the ANSI code page arrives whole.
std::vector<std::string> ProgramArguments(int argc, char** argv);

// Opens the file at `path` (UTF-8) for reading in binary; nullptr with errno set when it cannot.
std::FILE* OpenForReading(const std::string& path);

// Writes `text` as status.err atomically: into a fresh file first, which then takes the name
// over whatever held it (a link there is replaced, never followed). False with `error` saying
// why when it could not.
bool WriteResultFile(const std::string& text, std::string& error);
