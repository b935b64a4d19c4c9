// prog.exe's result file, "status.err" in its current folder (which the wizard makes the
// temporary folder). One implementation per platform folder.
#pragma once

#include <string>

// Writes `text` as status.err atomically: into a fresh file first, which then takes the name
// over whatever held it (a link there is replaced, never followed). False with `error` saying
// why when it could not.
bool WriteResultFile(const std::string& text, std::string& error);
