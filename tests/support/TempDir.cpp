#include "tests/support/TempDir.h"

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "common/TextCodec.h"

namespace zelvo::test {

TTempDir::TTempDir() {
  std::string FTemplate = (std::filesystem::temp_directory_path() / "zelvo-test-XXXXXX").string();
  if (::mkdtemp(FTemplate.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  FPath = FTemplate;
}

TTempDir::~TTempDir() {
  std::error_code FIgnored;
  std::filesystem::remove_all(FPath, FIgnored);
}

std::u16string TTempDir::Text() const {
  return Utf8ToUtf16(FPath.string() + "/");
}

void TTempDir::WriteFile(const std::string& aName, const std::string& aContent) const {
  std::filesystem::create_directories((FPath / aName).parent_path());
  std::ofstream(FPath / aName, std::ios::binary) << aContent;
}

std::string TTempDir::ReadFile(const std::string& aName) const {
  return ReadPath(FPath / aName);
}

std::string TTempDir::ReadPath(const std::filesystem::path& aPath) {
  std::ifstream FFile(aPath, std::ios::binary);
  std::stringstream FBuffer;
  FBuffer << FFile.rdbuf();
  return FBuffer.str();
}

} // namespace zelvo::test
