#include "lowlevel/errors/error_codes.h"

#include <algorithm>
#include <array>

#include "platform/format.h"

namespace revurov {
namespace {

struct ErrorText {
  uint32_t code;
  std::u16string_view text;
};

// Sorted by code for the binary search below.
constexpr std::array kErrorTexts = std::to_array<ErrorText>({
    {nxeSuccess, u"Success"},
    {nxeKeyFiltered, u"Key has been filtered"},
    {nxeCacheValid, u"Cache is valid"},
    {nxeCacheInvalid, u"Cache is invalid"},
    {nxeIllegalReentry, u"System has been illegally re-entered."},
    {nxeAtBeginningOfTable, u"At beginning of table."},
    {nxeAtEndOfTable, u"At end of table."},
    {nxeRecordDeleted, u"Record/Key deleted."},
    {nxeNoCurrentRecord, u"No current record."},
    {nxeRecordNotFound, u"Could not find record."},
    {nxeEndOfBlob, u"End of BLOB."},
    {nxeObjectNotFound, u"Could not find object."},
    {nxeCorruptHeader, u"Corrupt table/index header."},
    {nxeCorruptFile, u"Corrupt file - other than header."},
    {nxeCorruptIndex, u"Corrupt index."},
    {nxeReadFailure, u"Read failure."},
    {nxeWriteFailure, u"Write failure."},
    {nxeCannotAccessDirectory, u"Cannot access directory."},
    {nxeCannotAccessFile, u"Cannot access file. File may be in use by another process."},
    {nxeOutOfMemory, u"Insufficient memory for this operation."},
    {nxeTableIsFull, u"Table is full."},
    {nxeTooManyClients, u"Too many clients."},
    {nxeTooManyIndexes, u"Too many indexes on table."},
    {nxeTooManyFields, u"Too many fields."},
    {nxeKeyViolation, u"Key violation."},
    {nxeMinimumValidity, u"Minimum validity check failed."},
    {nxeMaximumValidity, u"Maximum validity check failed."},
    {nxeFieldValueRequired, u"Field value required."},
    {nxeMasterRecordMissing, u"Master record missing."},
    {nxeMasterHasDetails, u"Master has detail records. Cannot delete or modify."},
    {nxeFieldIsBlank, u"Field is blank."},
    {nxeExpressionValidity, u"Expression validity check failed."},
    {nxeOutOfRange, u"Number is out of range."},
    {nxeInvalidParameter, u"Invalid parameter."},
    {nxeInvalidHandle, u"Invalid handle to the function."},
    {nxeCannotOpenFile, u"Cannot open file."},
    {nxeInvalidModifyRequest, u"Invalid modify request."},
    {nxeIndexDoesNotExist, u"Index does not exist."},
    {nxeInvalidBlobOffset, u"Invalid offset into the BLOB."},
    {nxeInvalidDescriptorNumber, u"Invalid descriptor number."},
    {nxeInvalidFieldType, u"Invalid field type."},
    {nxeInvalidFieldDescriptor, u"Invalid field descriptor."},
    {nxeInvalidFieldTransformation, u"Invalid field transformation."},
    {nxeInvalidRecordStructure, u"Invalid record structure."},
    {nxeInvalidDescriptor, u"Invalid descriptor."},
    {nxeInvalidIndexDescriptors, u"Invalid array of index descriptors."},
    {nxeNameNotUnique, u"Name not unique in this context."},
    {nxeUnknownDatabase, u"Unknown database."},
    {nxeInvalidPassword, u"Invalid password given."},
    {nxeAliasDirectoryMissing, u"The alias references a directory that does not exist."},
    {nxeTranslateError, u"Translate Error. Value out of bounds."},
    {nxeDifferentTable, u"Cannot set cursor of one table to another."},
    {nxeBookmarkMismatch, u"Bookmarks do not match table."},
    {nxeInvalidIndexName, u"Invalid index name."},
    {nxeInvalidIndexDescriptor, u"Invalid index descriptor."},
    {nxeTableDoesNotExist, u"Table does not exist."},
    {nxeIndexAlreadyExists, u"Index already exists."},
    {nxeInvalidBlobLength, u"Invalid BLOB length."},
    {nxeInvalidBlobHandle, u"Invalid BLOB handle in record buffer."},
    {nxeTableIsOpen, u"Table is open."},
    {nxeUnknownUserOrPassword, u"Unknown user name or password."},
    {nxeInvalidFieldName, u"Invalid field name."},
    {nxeInvalidTableName, u"Invalid table name."},
    {nxeInvalidFileExtension, u"Invalid file extension."},
    {nxeInvalidLanguageDriver, u"Invalid language Driver."},
    {nxeInvalidFilterHandle, u"Filter handle is invalid"},
    {nxeInvalidFilter, u"Invalid Filter"},
    {nxeInvalidAliasName, u"Invalid alias name."},
    {nxeInvalidName, u"Invalid name."},
    {nxeRecordLocked, u"Record locked by another user."},
    {nxeFileIsLocked, u"File is locked."},
    {nxeLockTimeOut, u"Lock time out."},
    {nxeNoExclusiveAccess, u"Object cannot be opened for exclusive use."},
    {nxeLockConflict, u"Conflicting lock in this session."},
    {nxeDeadlock, u"A deadlock was detected. You need to rollback this transaction."},
    {nxeTransactionActive, u"A user transaction is already in progress."},
    {nxeNoTransaction, u"No user transaction is currently in progress."},
    {nxeRecordLockFailed, u"Record lock failed."},
    {nxeRecordChanged, u"Couldn't perform the edit because another user changed the record."},
    {nxeRecordDeletedOrMoved, u"Couldn't perform the edit because another user deleted or moved the record."},
    {nxeInsufficientTableRights, u"Insufficient table rights for operation."},
    {nxeDatabaseReadOnly, u"Database is read only."},
    {nxeReadOnlyField, u"Trying to modify read-only field."},
    {nxeEncryptionNotSupported, u"Encrypted tables not supported."},
    {nxeNotABlob, u"Field is not a BLOB."},
    {nxeOperationNotApplicable, u"Operation not applicable."},
    {nxeTableIsNotIndexed, u"Table is not indexed."},
    {nxeDifferentSessions, u"Objects are not owned by the same session."},
    {nxeTableReadOnly, u"Table is read only."},
    {nxeNoAssociatedIndex, u"No associated index."},
    {nxeOSError, u"Unknown internal operating system error."},
    {nxeNoServerEngine, u"No ServerEngine is connected to the CommandHandler."},
    {nxeLostConnection, u"Lost communication with network server."},
    {nxeServerNotFound, u"Cannot locate or connect to network server."},
    {nxeBlobError, u"General BLOB error."},
    {nxeIncompatibleVersion, u"Server is incompatible version."},
    {nxeHigherTableLevelRequired, u"Higher table level required"},
    {nxeCapabilityNotSupported, u"Capability not supported."},
    {nxeBlobModified, u"BLOB has been modified."},
    {nxeTableAlreadyExists, u"Table already exists."},
    {nxeUpdateAborted, u"Update aborted."},
    {nxeInvalidFileData, u"TnxBaseFile contains invalid data"},
    {nxeFileNotClosed, u"File could not be closed"},
    {nxeFileCopyFailed, u"Error when copying a file"},
    {nxeFileDeleteFailed, u"Error when deleting a file"},
    {nxeFileRenameFailed, u"Error when renaming a file"},
    {nxeInvalidBlockNumber, u"Block number is either < 0, or >= number of blocks in file"},
    {nxeInvalidRefNr, u"Record reference number is invalid"},
    {nxeNotADataBlock, u"Block read from file is not a data block"},
    {nxeNoFileHeaderAccessFactories, u"A TnxServerEngine without file header access factories has been detected. Please add \"nxseAllEngines\" to your program's USES clause, and recompile."},
    {nxeTableTooNew, u"The table cannot be opened because it was created with a newer version of RevurOV."},
    {nxeNotAHeapBlock, u"Block read from file is not a heap block"},
    {nxeNotAStreamBlock, u"Block read from file is not a stream block"},
    {nxeNotAnIndexBlock, u"Block read from file is not an index block"},
    {nxeIndexNumberOutOfRange, u"Index number passed to routine is out of range"},
    {nxeFileBlobOpenFailed, u"An error occurred when opening the external file for a file BLOB"},
    {nxeFileBlobReadFailed, u"An error occurred when reading the external file for a file BLOB"},
    {nxeFileBlobCloseFailed, u"An error occurred when closing the external file for a file BLOB"},
    {nxeTransactionCorrupt, u"The transaction was corrupt due to an earlier failure. No commit took place. You need to rollback this transaction."},
    {nxeFilterTimeout, u"The filter timed out."},
    {nxeTimeout, u"The operation could not be completed in the allotted time."},
    {nxeNotConnected, u"The session is not connected to a server engine."},
    {nxeIncompatibleDictionaries, u"The cursor dictionaries are incompatible. Verify the correct field types, lengths, units, and decimal places have been specified."},
    {nxeSameTable, u"The cursors may not reference the same table for this operation."},
    {nxeBlobTooLarge, u"BLOB size exceeds maximum size."},
    {nxeIncompatibleSubEngine, u"Sub-Engine is incompatible with the selected file header structure."},
    {nxeInvalidSegmentNumber, u"Invalid segment number"},
    {nxeSegmentHasBeenDeleted, u"Segment has been deleted"},
    {nxeKeyTooLarge, u"Maximum key size has been exceeded"},
    {nxeRecordTooLarge, u"Maximum record size has been exceeded"},
    {nxeTempStorageInvalidBlock, u"Temporary Storage: Invalid block number"},
    {nxeTempStorageFull, u"Temporary Storage: Full"},
    {nxeIncompatibleStream, u"Incompatible stream"},
    {nxeUnsupportedDictionaryDescriptor, u"Unsupported dictionary descriptor"},
    {nxeDictionaryReadOnly, u"The data dictionary is read only"},
    {nxeDuplicateAutoIncField, u"Duplicated autoinc field"},
    {nxeObjectInUse, u"Object is currently in use"},
    {nxeSubEngineNotSupported, u"Specified sub-engine is not supported"},
    {nxeFileHeaderAccessNotSupported, u"Specified file header access is not supported"},
    {nxeNoServerName, u"Servername of the transport is not set"},
    {nxeDuplicateRecRevField, u"Duplicated RecRev field"},
    {nxeSignal, u"A SIGNAL has been raised"},
    {nxeSameFolder, u"The databases may not reference the same folder for this operation."},
    {nxeRecoveryFailed, u"Recovery failed."},
    {nxeIndexIsNotEmpty, u"Index is not empty."},
    {nxeDuplicateRefNrField, u"Duplicated RefNr field"},
    {nxeDuplicateLsnField, u"Duplicated LSN field"},
    {nxeUnknownException, u"Unknown (unexpected exception object raised)"},
    {nxeMessageUnrecognized, u"Message is unrecognized."},
    {nxeNoMessageQueued, u"No message is queued"},
});

constexpr bool IsStrictlySorted() {
  for (std::size_t i = 1; i < kErrorTexts.size(); ++i) {
    if (kErrorTexts[i - 1].code >= kErrorTexts[i].code) return false;
  }
  return true;
}
static_assert(IsStrictlySorted(), "error texts must be sorted by code without duplicates");
static_assert(kErrorTexts.size() == 150);

constexpr std::u16string_view kUnknownCodeText =
    u"Unknown (server exception object has unknown error code)";

// Null when the code has no row.
const ErrorText* FindRow(uint32_t code) noexcept {
  auto it = std::lower_bound(kErrorTexts.begin(), kErrorTexts.end(), code,
                             [](const ErrorText& e, uint32_t c) { return e.code < c; });
  if (it == kErrorTexts.end() || it->code != code) return nullptr;
  return &*it;
}

std::u16string_view RowTextOrUnknown(uint32_t code) noexcept {
  const ErrorText* row = FindRow(code);
  return row ? row->text : kUnknownCodeText;
}

constexpr std::u16string_view kPrefix = u"RevurOV: ";

}  // namespace

void nxBdeErrorMessage(int32_t aErrorCode, std::u16string& aMessage) {
  const uint32_t code = static_cast<uint32_t>(aErrorCode);
  if (const ErrorText* row = FindRow(code)) {
    aMessage.assign(row->text);
    return;
  }
  if ((code & ~uint32_t{0x0F}) == (0x2200 | nxeCacheInvalidBits)) {
    const std::u16string_view head = RowTextOrUnknown(nxeCacheInvalid);
    const std::u16string_view tail = RowTextOrUnknown(code & ~nxeCacheInvalidBits);
    std::u16string text;
    text.reserve(head.size() + 2 + tail.size());
    text.append(head).append(u": ").append(tail);
    aMessage = std::move(text);
    return;
  }
  aMessage.assign(kUnknownCodeText);
}

std::u16string nxFormatPlainCodeMessage(std::u16string_view aMessage, uint32_t aErrorCode) {
  return platform::Format(u"%s [$%x/%d]", {aMessage, aErrorCode, aErrorCode});
}

std::u16string nxFormatPlainNoCodeMessage(std::u16string_view aMessage) {
  return platform::Format(u"%s [no error code]", {aMessage});
}

std::u16string nxFormatCodeMessage(std::u16string_view aMessage, uint32_t aErrorCode) {
  return std::u16string(kPrefix) + nxFormatPlainCodeMessage(aMessage, aErrorCode);
}

std::u16string nxFormatNoCodeMessage(std::u16string_view aMessage) {
  return std::u16string(kPrefix) + nxFormatPlainNoCodeMessage(aMessage);
}

std::u16string nxFormatComponentCodeMessage(std::u16string_view aComponentName,
                                            std::u16string_view aMessage, uint32_t aErrorCode) {
  return platform::Format(u"RevurOV: %s: %s [$%x/%d]",
                          {aComponentName, aMessage, aErrorCode, aErrorCode});
}

std::u16string nxFormatComponentNoCodeMessage(std::u16string_view aComponentName,
                                              std::u16string_view aMessage) {
  return platform::Format(u"RevurOV: %s: %s [no error code]", {aComponentName, aMessage});
}

}  // namespace revurov
