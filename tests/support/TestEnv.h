// Per-test file system sandbox: a fresh HOME so the data folder and settings file are the
// test's own.
#pragma once

#include <string>

namespace kestrill::testing {

// Creates a fresh temporary folder and returns its path.
std::string MakeTempFolder();

// Points HOME at a fresh folder, clears the XDG overrides and returns the new HOME.
std::string UseFreshHome();

// UseFreshHome, with the data folder (HOME/Documents/Kestrill) made; returns the new HOME.
std::string UseFreshDataFolder();

// Writes ABytes to APath (creating parent folders); throws on failure.
void WriteTestFile(const std::string& APath, const std::string& ABytes);

}  // namespace kestrill::testing
