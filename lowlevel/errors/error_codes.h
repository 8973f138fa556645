// The library's error codes, their fixed English texts and the message
// formats of its exceptions.
//
// A code is an unsigned 32-bit value, 0 meaning success. Every code in use
// fits in 16 bits: the high byte is the category, the low byte the number
// within it. Engine operations return these codes as their results.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace revurov {

// 0x00: Status
inline constexpr uint32_t nxeSuccess = 0;
inline constexpr uint32_t nxeKeyFiltered = 1;
inline constexpr uint32_t nxeCacheValid = 2;
inline constexpr uint32_t nxeCacheInvalid = 3;

// 0x21: Re-entry
inline constexpr uint32_t nxeIllegalReentry = 8455;

// 0x22: Positioning and lookups (see nxeCacheInvalidBits)
inline constexpr uint32_t nxeAtBeginningOfTable = 8705;
inline constexpr uint32_t nxeAtEndOfTable = 8706;
inline constexpr uint32_t nxeRecordDeleted = 8708;
inline constexpr uint32_t nxeNoCurrentRecord = 8709;
inline constexpr uint32_t nxeRecordNotFound = 8710;
inline constexpr uint32_t nxeEndOfBlob = 8711;
inline constexpr uint32_t nxeObjectNotFound = 8712;

// 0x23: Corruption
inline constexpr uint32_t nxeCorruptHeader = 8961;
inline constexpr uint32_t nxeCorruptFile = 8962;
inline constexpr uint32_t nxeCorruptIndex = 8965;

// 0x24: Input/output
inline constexpr uint32_t nxeReadFailure = 9217;
inline constexpr uint32_t nxeWriteFailure = 9218;
inline constexpr uint32_t nxeCannotAccessDirectory = 9219;
inline constexpr uint32_t nxeCannotAccessFile = 9221;

// 0x25: Resources and limits
inline constexpr uint32_t nxeOutOfMemory = 9473;
inline constexpr uint32_t nxeTableIsFull = 9479;
inline constexpr uint32_t nxeTooManyClients = 9486;
inline constexpr uint32_t nxeTooManyIndexes = 9487;
inline constexpr uint32_t nxeTooManyFields = 9492;

// 0x26: Integrity and validity checks
inline constexpr uint32_t nxeKeyViolation = 9729;
inline constexpr uint32_t nxeMinimumValidity = 9730;
inline constexpr uint32_t nxeMaximumValidity = 9731;
inline constexpr uint32_t nxeFieldValueRequired = 9732;
inline constexpr uint32_t nxeMasterRecordMissing = 9733;
inline constexpr uint32_t nxeMasterHasDetails = 9734;
inline constexpr uint32_t nxeFieldIsBlank = 9740;
inline constexpr uint32_t nxeExpressionValidity = 9751;

// 0x27: Invalid requests and arguments
inline constexpr uint32_t nxeOutOfRange = 9985;
inline constexpr uint32_t nxeInvalidParameter = 9986;
inline constexpr uint32_t nxeInvalidHandle = 9990;
inline constexpr uint32_t nxeCannotOpenFile = 9992;
inline constexpr uint32_t nxeInvalidModifyRequest = 9996;
inline constexpr uint32_t nxeIndexDoesNotExist = 9997;
inline constexpr uint32_t nxeInvalidBlobOffset = 9998;
inline constexpr uint32_t nxeInvalidDescriptorNumber = 9999;
inline constexpr uint32_t nxeInvalidFieldType = 10000;
inline constexpr uint32_t nxeInvalidFieldDescriptor = 10001;
inline constexpr uint32_t nxeInvalidFieldTransformation = 10002;
inline constexpr uint32_t nxeInvalidRecordStructure = 10003;
inline constexpr uint32_t nxeInvalidDescriptor = 10004;
inline constexpr uint32_t nxeInvalidIndexDescriptors = 10005;
inline constexpr uint32_t nxeNameNotUnique = 10009;
inline constexpr uint32_t nxeUnknownDatabase = 10014;
inline constexpr uint32_t nxeInvalidPassword = 10015;
inline constexpr uint32_t nxeAliasDirectoryMissing = 10018;
inline constexpr uint32_t nxeTranslateError = 10019;
inline constexpr uint32_t nxeDifferentTable = 10020;
inline constexpr uint32_t nxeBookmarkMismatch = 10021;
inline constexpr uint32_t nxeInvalidIndexName = 10022;
inline constexpr uint32_t nxeInvalidIndexDescriptor = 10023;
inline constexpr uint32_t nxeTableDoesNotExist = 10024;
inline constexpr uint32_t nxeIndexAlreadyExists = 10027;
inline constexpr uint32_t nxeInvalidBlobLength = 10029;
inline constexpr uint32_t nxeInvalidBlobHandle = 10030;
inline constexpr uint32_t nxeTableIsOpen = 10031;
inline constexpr uint32_t nxeUnknownUserOrPassword = 10036;
inline constexpr uint32_t nxeInvalidFieldName = 10038;
inline constexpr uint32_t nxeInvalidTableName = 10039;
inline constexpr uint32_t nxeInvalidFileExtension = 10042;
inline constexpr uint32_t nxeInvalidLanguageDriver = 10043;
inline constexpr uint32_t nxeInvalidFilterHandle = 10050;
inline constexpr uint32_t nxeInvalidFilter = 10051;
inline constexpr uint32_t nxeInvalidAliasName = 10067;
inline constexpr uint32_t nxeInvalidName = 10068;

// 0x28: Locks and transactions
inline constexpr uint32_t nxeRecordLocked = 10241;
inline constexpr uint32_t nxeFileIsLocked = 10245;
inline constexpr uint32_t nxeLockTimeOut = 10249;
inline constexpr uint32_t nxeNoExclusiveAccess = 10253;
inline constexpr uint32_t nxeLockConflict = 10254;
inline constexpr uint32_t nxeDeadlock = 10255;
inline constexpr uint32_t nxeTransactionActive = 10256;
inline constexpr uint32_t nxeNoTransaction = 10257;
inline constexpr uint32_t nxeRecordLockFailed = 10258;
inline constexpr uint32_t nxeRecordChanged = 10259;
inline constexpr uint32_t nxeRecordDeletedOrMoved = 10260;

// 0x29: Rights and read-only
inline constexpr uint32_t nxeInsufficientTableRights = 10498;
inline constexpr uint32_t nxeDatabaseReadOnly = 10501;
inline constexpr uint32_t nxeReadOnlyField = 10502;
inline constexpr uint32_t nxeEncryptionNotSupported = 10503;

// 0x2A: Operations that do not apply
inline constexpr uint32_t nxeNotABlob = 10753;
inline constexpr uint32_t nxeOperationNotApplicable = 10756;
inline constexpr uint32_t nxeTableIsNotIndexed = 10757;
inline constexpr uint32_t nxeDifferentSessions = 10760;
inline constexpr uint32_t nxeTableReadOnly = 10763;
inline constexpr uint32_t nxeNoAssociatedIndex = 10764;

// 0x2B: Operating system and engine wiring
inline constexpr uint32_t nxeOSError = 11047;
inline constexpr uint32_t nxeNoServerEngine = 11114;

// 0x2C: Network
inline constexpr uint32_t nxeLostConnection = 11276;
inline constexpr uint32_t nxeServerNotFound = 11278;

// 0x2E: BLOBs
inline constexpr uint32_t nxeBlobError = 11896;

// 0x2F: Versions
inline constexpr uint32_t nxeIncompatibleVersion = 12039;
inline constexpr uint32_t nxeHigherTableLevelRequired = 12040;

// 0x30: Capabilities
inline constexpr uint32_t nxeCapabilityNotSupported = 12289;

// 0x33: Table and BLOB state
inline constexpr uint32_t nxeBlobModified = 13058;
inline constexpr uint32_t nxeTableAlreadyExists = 13060;
inline constexpr uint32_t nxeUpdateAborted = 13062;

// 0x3C: The library's own codes
inline constexpr uint32_t nxeInvalidFileData = 15360;
inline constexpr uint32_t nxeFileNotClosed = 15363;
inline constexpr uint32_t nxeFileCopyFailed = 15392;
inline constexpr uint32_t nxeFileDeleteFailed = 15393;
inline constexpr uint32_t nxeFileRenameFailed = 15394;
inline constexpr uint32_t nxeInvalidBlockNumber = 15409;
inline constexpr uint32_t nxeInvalidRefNr = 15412;
inline constexpr uint32_t nxeNotADataBlock = 15413;
inline constexpr uint32_t nxeNoFileHeaderAccessFactories = 15414;
inline constexpr uint32_t nxeTableTooNew = 15415;
inline constexpr uint32_t nxeNotAHeapBlock = 15416;
inline constexpr uint32_t nxeNotAStreamBlock = 15421;
inline constexpr uint32_t nxeNotAnIndexBlock = 15424;
inline constexpr uint32_t nxeIndexNumberOutOfRange = 15425;
inline constexpr uint32_t nxeFileBlobOpenFailed = 15440;
inline constexpr uint32_t nxeFileBlobReadFailed = 15441;
inline constexpr uint32_t nxeFileBlobCloseFailed = 15442;
inline constexpr uint32_t nxeTransactionCorrupt = 15443;
inline constexpr uint32_t nxeFilterTimeout = 15444;
inline constexpr uint32_t nxeTimeout = 15461;
inline constexpr uint32_t nxeNotConnected = 15465;
inline constexpr uint32_t nxeIncompatibleDictionaries = 15488;
inline constexpr uint32_t nxeSameTable = 15489;
inline constexpr uint32_t nxeBlobTooLarge = 15490;
inline constexpr uint32_t nxeIncompatibleSubEngine = 15491;
inline constexpr uint32_t nxeInvalidSegmentNumber = 15492;
inline constexpr uint32_t nxeSegmentHasBeenDeleted = 15493;
inline constexpr uint32_t nxeKeyTooLarge = 15494;
inline constexpr uint32_t nxeRecordTooLarge = 15495;
inline constexpr uint32_t nxeTempStorageInvalidBlock = 15496;
inline constexpr uint32_t nxeTempStorageFull = 15497;
inline constexpr uint32_t nxeIncompatibleStream = 15498;
inline constexpr uint32_t nxeUnsupportedDictionaryDescriptor = 15499;
inline constexpr uint32_t nxeDictionaryReadOnly = 15500;
inline constexpr uint32_t nxeDuplicateAutoIncField = 15501;
inline constexpr uint32_t nxeObjectInUse = 15502;
inline constexpr uint32_t nxeSubEngineNotSupported = 15503;
inline constexpr uint32_t nxeFileHeaderAccessNotSupported = 15504;
inline constexpr uint32_t nxeNoServerName = 15505;
inline constexpr uint32_t nxeDuplicateRecRevField = 15506;
inline constexpr uint32_t nxeSignal = 15507;
inline constexpr uint32_t nxeSameFolder = 15508;
inline constexpr uint32_t nxeRecoveryFailed = 15509;
inline constexpr uint32_t nxeIndexIsNotEmpty = 15511;
inline constexpr uint32_t nxeDuplicateRefNrField = 15512;
inline constexpr uint32_t nxeDuplicateLsnField = 15513;
inline constexpr uint32_t nxeUnknownException = 15521;
inline constexpr uint32_t nxeMessageUnrecognized = 15522;
inline constexpr uint32_t nxeNoMessageQueued = 15536;

// Bits 4 to 7 set on a positioning code (0x2200..0x220F) say that a record
// cache sent along with the result is no longer valid; such codes
// (0x22F0..0x22FF) have no text of their own, theirs is composed.
inline constexpr uint32_t nxeCacheInvalidBits = 0x00F0;

// Reported for an exception object whose own code is 0; it has no text.
inline constexpr uint32_t nxeExceptionWithoutCode = 15520;

// Sets aMessage to the text of aErrorCode: its own text, the composed text of
// a cache-invalid positioning code, or "Unknown (server exception object has
// unknown error code)". Raises nothing; allocates only the result.
void nxBdeErrorMessage(int32_t aErrorCode, std::u16string& aMessage);

// Exception messages: "RevurOV: <message> [$<hex code>/<decimal code>]",
// "[no error code]" in place of the bracket for an exception without a code,
// and "<component name>: " before the message for one raised for a named
// component. The message is taken as it stands (no format directives).
std::u16string nxFormatCodeMessage(std::u16string_view aMessage, uint32_t aErrorCode);
std::u16string nxFormatNoCodeMessage(std::u16string_view aMessage);
std::u16string nxFormatComponentCodeMessage(std::u16string_view aComponentName,
                                            std::u16string_view aMessage, uint32_t aErrorCode);
std::u16string nxFormatComponentNoCodeMessage(std::u16string_view aComponentName,
                                              std::u16string_view aMessage);
// The same two without the "RevurOV: " prefix, for errors raised by client
// code without a component.
std::u16string nxFormatPlainCodeMessage(std::u16string_view aMessage, uint32_t aErrorCode);
std::u16string nxFormatPlainNoCodeMessage(std::u16string_view aMessage);

}  // namespace revurov
