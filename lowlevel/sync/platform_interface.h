// Hooks through which a GUI platform binding gives the library windows,
// timers, dialogs and an exception display, and the main-thread flag.
//
// Contract:
// - Each hook is a process-wide variable holding the library's own default,
//   which works without any GUI: a binding overwrites hooks at its start-up
//   and calls nxResetPlatformHooks at its end. Set hooks while no other
//   thread uses them (start-up, shut-down); they are read without locks.
// - A hook set to null means "no platform": callers that need it fail with
//   their error (a message thread cannot start without a window allocator).
// - The default windows are message targets of the library: a window
//   belongs to the message queue of the thread that allocated it (that
//   thread must have one, see TnxMessageQueue); posted messages wait in that
//   queue, sent messages are handled by the owning thread when it next looks
//   at its queue (directly when sent from the owning thread).
// - nxIsMainThread() is true only on the thread that ran the library's first
//   start-up (lowlevel/startup.h), false on every other thread and before
//   start-up.
#pragma once

#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/os_event.h"

namespace revurov {

// A window: a handle, never an address (slot and generation); 0 is none.
using TnxWindowHandle = uint64_t;

struct TnxMessage {
  uint32_t Msg = 0;
  uintptr_t WParam = 0;
  intptr_t LParam = 0;
  intptr_t Result = 0;
  TnxWindowHandle Window = 0;  // 0: a thread message
};

inline constexpr uint32_t nxWM_QUIT = 18;

using TnxWndMethod = std::function<void(TnxMessage& aMessage)>;

// The application's timer: calls OnTimer every Interval ms while enabled.
class InxTimer {
public:
  virtual ~InxTimer() = default;
  virtual bool Enabled() const = 0;
  virtual void SetEnabled(bool aValue) = 0;
  virtual uint32_t Interval() const = 0;
  virtual void SetInterval(uint32_t aValue) = 0;
};

enum TnxJournalState : uint8_t { jsComplete, jsIncomplete, jsTrash, jsSkipping };

// Message dialogs: the kind (any value past mtConfirmation shows no icon),
// the buttons as a set of bits (bit n: button n; bits above mbHelp are
// ignored) and the answer, which is the pressed button's number or
// nxMsgDlgNoAnswer when the box closed otherwise (Help, Close, Escape
// without Cancel, no user).
enum TnxMsgDlgType : uint8_t { mtWarning, mtError, mtInformation, mtConfirmation, mtCustom };
enum TnxMsgDlgBtn : uint8_t {
  mbYes, mbNo, mbOK, mbCancel, mbAbort, mbRetry, mbIgnore, mbAll, mbNoToAll, mbYesToAll, mbHelp
};
using TnxMsgDlgButtons = uint16_t;
inline constexpr TnxMsgDlgButtons nxMsgDlgButton(TnxMsgDlgBtn aButton) noexcept {
  return static_cast<TnxMsgDlgButtons>(1u << aButton);
}
inline constexpr uint8_t nxMsgDlgNoAnswer = 10;

// Windows: create one whose messages go to aMethod (0 when it cannot be
// made); destroy one; post (false when the window is gone) and send (0 when
// it is gone).
extern TnxWindowHandle (*nxPlatformAllocateWindow)(TnxWndMethod aMethod);
extern void (*nxPlatformDeallocateWindow)(TnxWindowHandle aWindow);
extern bool (*nxPlatformPostMessage)(TnxWindowHandle aWindow, uint32_t aMsg, uintptr_t aWParam,
                                     intptr_t aLParam);
extern intptr_t (*nxPlatformSendMessage)(TnxWindowHandle aWindow, uint32_t aMsg, uintptr_t aWParam,
                                         intptr_t aLParam);
// The application's exception display; the default drops the exception.
extern void (*nxPlatformHandleException)(const std::exception& aError);
// Ends the application; the default does nothing (a library has no loop).
extern void (*nxPlatformTerminate)();
// Handles pending messages of the calling (main) thread; default: nothing.
extern void (*nxPlatformProcessMessages)();
// Waits for an event while letting messages sent to the calling thread
// through; answers as platform::WaitForEvent. Default: the plain wait.
extern uint32_t (*nxPlatformWaitWithMessages)(platform::EventHandle aEvent, uint32_t aTimeoutMs);
// Runs aMethod on the main thread and waits. Default: runs it on the
// calling thread, serialised with every other synchronised method.
extern void (*nxPlatformSynchronize)(const std::function<void()>& aMethod);
// A new timer, disabled; default: one on a timer thread of the library.
extern std::unique_ptr<InxTimer> (*nxPlatformCreateTimer)(std::function<void()> aOnTimer);
// Dialogs. Defaults answer as a user who is not there: no button
// (nxMsgDlgNoAnswer), log-on and server pick cancelled (false), and a
// journal is recovered only when it is complete. aHelpCtx names a help
// topic (0: none).
extern uint8_t (*nxPlatformMessageDlg)(const std::u16string& aMessage, TnxMsgDlgType aType,
                                       TnxMsgDlgButtons aButtons, int32_t aHelpCtx);
extern bool (*nxPlatformLogonDialog)(const std::u16string& aServer, std::u16string& aUserName,
                                     std::u16string& aPassword);
extern bool (*nxPlatformServerPickDialog)(const std::vector<std::u16string>& aServers,
                                          std::u16string& aServer);
// The question whether a journal found on opening is to be recovered
// (committed); aExceptionText tells why a journal could not be read.
extern bool (*nxPlatformJournalRecoveryDialog)(TnxJournalState aState, const std::u16string& aAlias,
                                               const std::u16string& aPath, const std::u16string& aFileName,
                                               const std::u16string& aExceptionText);

// The default system beep (a log-on refused); the default makes no sound.
extern void (*nxPlatformBeep)();

// Puts every hook back to the library's default.
void nxResetPlatformHooks() noexcept;

bool nxIsMainThread() noexcept;
// Marks or unmarks the calling thread as the main thread; used by start-up.
void nxSetIsMainThread(bool aValue) noexcept;

}  // namespace revurov
