// Zip archives shown as folders.
#include "tree/FileSysUnit.h"

namespace zelvo {

void TFileInfo::ZipFileToFolder() {}

} // namespace zelvo
