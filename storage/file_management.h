// Naming, deleting and renaming the files of a database folder. A delete or
// rename is durable when it returns: the folder is synced after it. Both go
// through the process-wide file seam (platform/file_ops.h).
//
// Contract:
// - DeleteFileChecked raises EnxFileManagementException 15393 with the
//   context DeleteFile ("name") and the system's error when the file cannot
//   be removed or the removal not made durable.
// - RenameFileChecked never replaces an existing target (that fails with
//   EEXIST and leaves both files); any failure raises 15394 with the context
//   RenameFile (from "old" to "new").
// - nxCombinePath joins with one "/" (none after an empty path or one that
//   ends with "/"); nxAddExtension joins with one ".".
#pragma once

#include <string>
#include <string_view>

#include "storage/server_exceptions.h"

namespace revurov {

REVUROV_EXCEPTION_CLASS(EnxFileManagementException, EnxServerOSException);

void DeleteFileChecked(std::u16string_view aFileName);
void RenameFileChecked(std::u16string_view aOldName, std::u16string_view aNewName);
std::u16string nxCombinePath(std::u16string_view aPath, std::u16string_view aFileName);
std::u16string nxAddExtension(std::u16string_view aName, std::u16string_view aExtension);

}  // namespace revurov
