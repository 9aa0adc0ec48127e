#include "protocol/Commands.h"

#include "common/TextCodec.h"

namespace zelvo {
namespace {

std::u16string Join(std::u16string_view aCommand,
                    std::initializer_list<std::u16string_view> aFields,
                    char16_t aSeparator = u' ') {
  std::u16string FText(aCommand);
  bool FFirst = true;
  for (const auto FField : aFields) {
    FText += FFirst ? u' ' : aSeparator;
    FText += FField;
    FFirst = false;
  }
  return FText;
}

} // namespace

std::u16string GlistRequest() {
  return u"GLIST";
}

std::u16string UlistRequest(std::u16string_view aClassName) {
  return Join(u"ULIST", {aClassName});
}

std::u16string LoginRequest(std::u16string_view aClassName, std::u16string_view aUserName,
                            std::u16string_view aPassword) {
  return Join(u"LOGIN", {aClassName, aUserName, aPassword});
}

std::u16string LogoutRequest(std::u16string_view aClassName, std::u16string_view aUserName) {
  return Join(u"LOGOUT", {aClassName, aUserName});
}

std::u16string ChgpswRequest(std::u16string_view aClassItem, std::u16string_view aUserName,
                             std::u16string_view aNewPassword) {
  return Join(u"CHGPSW", {aClassItem, aUserName, aNewPassword});
}

std::u16string ListRequest(std::u16string_view aDirFullName) {
  return Join(u"LIST", {std::u16string(aDirFullName) + u"\\*"});
}

std::u16string EntryRequest(std::u16string_view aFullName) {
  return Join(u"LIST", {aFullName});
}

std::u16string GetRequest(std::u16string_view aFullName) {
  return Join(u"GET", {aFullName});
}

std::u16string RangeRequest(int64_t aOffset, int64_t aLength, std::u16string_view aFullName) {
  const std::u16string FOffset = Utf8ToUtf16(std::to_string(aOffset));
  const std::u16string FLength = Utf8ToUtf16(std::to_string(aLength));
  return Join(u"GETRANGE", {FOffset, FLength, aFullName});
}

std::u16string PutRequest(std::u16string_view aFullName) {
  return Join(u"PUT", {aFullName});
}

std::u16string DeleteRequest(std::u16string_view aFullName) {
  return Join(u"DELETE", {aFullName});
}

std::u16string MoveRequest(std::u16string_view aOldFullName, std::u16string_view aNewFullName) {
  return Join(u"MOVE", {aOldFullName, aNewFullName}, u'|');
}

std::u16string MkdirRequest(std::u16string_view aFullName) {
  return Join(u"MKDIR", {aFullName});
}

} // namespace zelvo
