// The command catalogue: the one place where request texts are built.
//
// Fields are joined by single spaces and nothing is quoted or escaped; MOVE joins its two paths
// with "|". Full names are server paths ("\" separators).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace zelvo {

std::u16string GlistRequest();
std::u16string UlistRequest(std::u16string_view aClassName);
std::u16string LoginRequest(std::u16string_view aClassName, std::u16string_view aUserName,
                            std::u16string_view aPassword);
// Ends this address's session of the user (a server that does not know the command closes).
std::u16string LogoutRequest(std::u16string_view aClassName, std::u16string_view aUserName);
// aClassItem is the class box's displayed text, "(host)" suffix included.
std::u16string ChgpswRequest(std::u16string_view aClassItem, std::u16string_view aUserName,
                             std::u16string_view aNewPassword);
std::u16string ListRequest(std::u16string_view aDirFullName);
// "LIST " + a file's full name, no wildcard: that one entry (a server that confirms changes).
std::u16string EntryRequest(std::u16string_view aFullName);
std::u16string GetRequest(std::u16string_view aFullName);
// "GETRANGE <offset> <length> <full name>": part of a file, from a server that announced ranged
// reads at login (RangedRead.h); the name comes last, as it may hold blanks.
std::u16string RangeRequest(int64_t aOffset, int64_t aLength, std::u16string_view aFullName);
std::u16string PutRequest(std::u16string_view aFullName);
std::u16string DeleteRequest(std::u16string_view aFullName);
std::u16string MoveRequest(std::u16string_view aOldFullName, std::u16string_view aNewFullName);
std::u16string MkdirRequest(std::u16string_view aFullName);

} // namespace zelvo
