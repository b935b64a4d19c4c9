// Folders of our own in the temporary folder (a flasher run's, a station's) that outlive their
// owner when it is killed outright (SIGKILL, a power cut of the terminal's machine): each gets a
// note of its owner when it is made, and the next start removes those whose owner is gone and in
// which no process works any more (a flasher whose wizard was killed finishes its write there).
#pragma once

#include <string>

namespace flasher_os {

// Writes the owner note (this process's id and start time) into `folder`, which ends with '/'.
void NoteOwner(const std::string& folder);

// Removes the folders `prefix`* directly in `parent` (which ends with '/') that are this user's,
// carry an owner note whose process is gone, and in which (or under which, as its temporary
// folder) no process of this user works. Folders without a note are never touched.
void RemoveAbandonedFolders(const std::string& parent, const std::string& prefix);

}  // namespace flasher_os
