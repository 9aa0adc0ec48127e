// A private temporary folder, removed with everything in it when the object goes.
#pragma once

#include <filesystem>
#include <string>

namespace zelvo::test {

class TTempDir {
public:
  TTempDir();
  TTempDir(const TTempDir&) = delete;
  TTempDir& operator=(const TTempDir&) = delete;
  ~TTempDir();

  const std::filesystem::path& Path() const { return FPath; }
  // The folder as a local path text ending in "/".
  std::u16string Text() const;
  void WriteFile(const std::string& aName, const std::string& aContent) const;
  std::string ReadFile(const std::string& aName) const;
  static std::string ReadPath(const std::filesystem::path& aPath);

private:
  std::filesystem::path FPath;
};

} // namespace zelvo::test
