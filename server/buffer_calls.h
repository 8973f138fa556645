// The buffer manager's calls the table code makes, behind functions of
// their own: its header and the dictionary's file descriptors both name
// the block-size table, so no source includes the two.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace revurov {

class TnxBaseFile;
class TnxBaseTransaction;
class TnxBufferManager;

// The outermost level commits and flushes (raises on failure); a nested
// one moves out a level.
void nxsrCommit(TnxBufferManager& aBufMgr, TnxBaseTransaction& aTrans);
void nxsrRollback(TnxBufferManager& aBufMgr, TnxBaseTransaction& aTrans);
// Attaches an opened file, its header block released at once: 0 or the code.
uint32_t nxsrAttachFile(TnxBufferManager& aBufMgr, TnxBaseFile& aFile, const std::vector<std::u16string>& aPasswords,
                        bool& aReadOnly);
// Gives back what a failed flush left queued, then detaches the file;
// aClosing as for RemoveFile.
void nxsrDetachFile(TnxBufferManager& aBufMgr, TnxBaseFile& aFile, bool aClosing = false);

}  // namespace revurov
