// The names in one folder, as readdir gives them.
//
// Contract:
// - ListFolderFiles gives the names of the folder's entries that are not
//   folders (files, links to files, devices ...), in readdir order, without
//   "." and "..". A link whose target is missing counts as a file; a link
//   to a folder does not.
// - The result is 0 or the OS error of opening or reading the folder; on
//   an error the names read so far stay in aNames.
#pragma once

#include <string>
#include <vector>

namespace revurov::platform {

int ListFolderFiles(const std::string& aFolder, std::vector<std::string>& aNames);

}  // namespace revurov::platform
