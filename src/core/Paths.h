// Where the program keeps its files: the documents folder, the data folder, the temp folder.
#pragma once

#include <string>
#include <string_view>

namespace kestrill {

inline constexpr std::string_view kProductName = "Kestrill";

// The user's documents folder, or the empty text when it cannot be determined.
// Linux: $XDG_DOCUMENTS_DIR, else the entry in $XDG_CONFIG_HOME/user-dirs.dirs, else
// $HOME/Documents.
std::string GetDocumentsFolder();

// The documents folder joined with "Kestrill" (the relative "Kestrill" without one).
std::string GetDataPath();

// $TMPDIR, else /tmp.
std::string GetTempFolder();

// This user's own folder inside the temp folder ("kestrill-<uid>", private to the user), so
// users sharing /tmp never write each other's files. Falls back to the temp folder itself when
// it cannot be made safely.
std::string GetUserTempFolder();

// Creates the documents folder joined with AName (and missing parents) if absent. Failures
// are swallowed: a later write reports them.
void CheckAndCreateDirectory(std::string_view AName);

std::string JoinPath(std::string_view AFolder, std::string_view AName);

// The part of APath after its last "/" or "\\" (paths may come from Windows chat files).
std::string FileNameOfPath(std::string_view APath);

}  // namespace kestrill
