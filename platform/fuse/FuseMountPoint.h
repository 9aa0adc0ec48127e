// Mount points of the drives on Linux: where a drive letter lives, stale mounts, taking a mount
// down. No FUSE calls here: mounting itself is DokanFuse's.
#pragma once

#include <string>

namespace zelvo {

// "X:" -> <home>/Zelvo/X (home from $HOME); an absolute path stays as it is. aLetter is the
// drive letter ("X", or the last path part when it is one letter; else 0). False for anything
// else.
bool ResolveMountPoint(const std::u16string& aMountPoint, std::string& aPath, char16_t& aLetter);

// Creates the folder when missing and cleans a stale mount ("Transport endpoint is not
// connected") left there by a crashed run. False when the folder cannot be used.
bool PrepareMountPoint(const std::string& aPath);

// Takes the mount at aPath down so its serving loop ends. Root ends the connection at once
// (a forced unmount aborts it, even while files are open) and detaches the mount; a user
// detaches it through fusermount3, and the connection ends when the last open file closes.
void TakeDown(const std::string& aPath);

char16_t AsciiUpper(char16_t aChar);

} // namespace zelvo
