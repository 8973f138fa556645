#include "platform/os_error.h"

#include <cerrno>
#include <cstring>

#include "platform/text.h"

namespace revurov::platform {

uint32_t GetLastOSError() noexcept { return static_cast<uint32_t>(errno); }

void SetLastOSError(uint32_t error) noexcept { errno = static_cast<int>(error); }

namespace {

// A German installation's texts for the errors a user meets with files.
const char16_t* GermanText(uint32_t error) noexcept {
  switch (error) {
    case ENOENT: return u"Das System kann die angegebene Datei nicht finden.";
    case ENOTDIR: return u"Das System kann den angegebenen Pfad nicht finden.";
    case EACCES:
    case EPERM:
    case EISDIR: return u"Zugriff verweigert";
    case ENOSPC:
    case EDQUOT: return u"Auf dem Datentr\u00E4ger ist nicht gen\u00FCgend Speicherplatz vorhanden.";
    case EROFS: return u"Das Medium ist schreibgesch\u00FCtzt.";
    case EEXIST: return u"Die Datei ist bereits vorhanden.";
    case EBUSY:
    case ETXTBSY:
      return u"Der Prozess kann nicht auf die Datei zugreifen, da sie von einem anderen Prozess verwendet wird.";
    case EIO: return u"Die Anforderung konnte wegen eines E/A-Ger\u00E4tefehlers nicht ausgef\u00FChrt werden.";
    case EMFILE:
    case ENFILE: return u"Das System kann die Datei nicht \u00F6ffnen.";
    case ENAMETOOLONG: return u"Der Dateiname oder die Erweiterung ist zu lang.";
    case ENOMEM: return u"Nicht gen\u00FCgend Speicher verf\u00FCgbar, um diesen Befehl zu verarbeiten.";
    case EINVAL: return u"Falscher Parameter.";
    default: return nullptr;
  }
}

}  // namespace

std::u16string SysErrorMessage(uint32_t error) {
  if (const char16_t* text = GermanText(error)) return text;
  char buf[256];
  // GNU strerror_r may return a static string instead of filling buf.
  const char* text = strerror_r(static_cast<int>(error), buf, sizeof buf);
  return Utf8ToUtf16(text ? text : "");
}

}  // namespace revurov::platform
