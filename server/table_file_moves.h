// Moves and deletes of table files that survive a crash as one step: an
// intent file in the folder names every step before the first is made and
// goes after the last, and opening the folder finishes what a crash left.
//
// Contract:
// - A step moves From to To (both names inside the folder) or, with To
//   empty, deletes From. Steps run in order (a move never replaces a file)
//   and become durable together by one folder sync after the last; an
//   opening finishes whatever subset of them a crash kept.
// - Announce writes the intent into the file "nxTableMoves.cfg", durable on
//   return (one DataSync). The file is made once per folder (a durable copy
//   renamed into place, the folder synced) and kept; it holds two
//   checksummed slots, and each record goes into the one not holding the
//   newest, so a crash leaves the earlier record or the new one, whole.
//   Files that are only being made for the steps (a new table that
//   replaces an old one) may be announced with it as the discards: going
//   back deletes them.
// - Run makes the steps and then records that nothing is pending, without
//   a sync: a crash that loses that record brings back an intent whose
//   steps are all made, and finishing it again changes nothing, also when
//   new tables took the names it freed (a plan's checks must keep it so).
//   The next intent's sync makes the record durable. A step that
//   fails: when no delete has run yet, the moves done so far are undone in
//   reverse order, the discards deleted and the intent cleared; the step's
//   error is raised (15393 / 15394). When a delete has run, or the undo
//   fails, the intent stays, and the next open of the folder finishes it.
// - Abandon (before Run) goes back: discards deleted, intent cleared.
// - Keep (after AnnounceDiscards) keeps the discards as they are and clears
//   the intent, durable on return, but only while the folder's pending
//   intent is still this one: a later plan of the folder replaced it.
// - nxFinishFileMoves (a folder opening) goes forward when one of the
//   forward checks holds (a file exists, or is missing, as each says; a
//   plan whose names come back, as a new table replacing an old one, needs
//   them), without checks when the first step is done (its target exists
//   and its source not, or for a delete its file is gone); back otherwise:
//   every move whose target is there and whose source is not is undone,
//   last first, and the discards deleted.
//   Then the intent is cleared. A file of one intent alone (an earlier
//   release's) is finished the same way and then made over; a foreign
//   file is left alone; leftover temporary copies are removed.
// - Not thread-safe per folder: the caller serializes the folder's table
//   operations.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace revurov {

struct TnxFileMove {
  std::u16string From;
  std::u16string To;  // empty: delete From
};

// Forward after a crash when Name exists (Exists) or is missing (!Exists).
struct TnxFileCheck {
  std::u16string Name;
  bool Exists = true;
};

inline constexpr std::u16string_view kFileMovesIntentName = u"nxTableMoves.cfg";
// A long task keeps its intent in a file of its own ("nxTableMoves-" +
// table + ".cfg"), so other table operations of the folder may run
// meanwhile; an opening finishes such a file like the folder's and then
// removes it.
inline constexpr std::u16string_view kTaskIntentPrefix = u"nxTableMoves-";

class TnxFileMoves {
public:
  TnxFileMoves(std::u16string_view aFolder, std::vector<TnxFileMove> aMoves,
               std::vector<std::u16string> aDiscards = {}, std::vector<TnxFileCheck> aForwardWhen = {},
               std::u16string_view aIntentName = kFileMovesIntentName);
  void Announce();
  // Announces only the discards: a crash while they are made removes them.
  void AnnounceDiscards();
  void Run();
  void Abandon();
  void Keep();

private:
  std::u16string fmFolder;
  std::u16string fmIntentName;
  std::vector<TnxFileMove> fmMoves;
  std::vector<std::u16string> fmDiscards;
  std::vector<TnxFileCheck> fmForwardWhen;
  bool fmAnnounced = false;
};

// Announce and Run.
void nxRunFileMoves(std::u16string_view aFolder, std::vector<TnxFileMove> aMoves);
// True when an intent was found and finished (forward or back).
bool nxFinishFileMoves(std::u16string_view aFolder);
// True when the intent file aIntentName holds steps not yet finished.
bool nxFileMovesPending(std::u16string_view aFolder, std::u16string_view aIntentName = kFileMovesIntentName);
// The intent file of a task working on aTableName.
std::u16string nxTaskIntentName(std::u16string_view aTableName);
// Removes a task's intent file; with aKeepPending only when nothing is
// pending in it.
void nxDropTaskIntent(std::u16string_view aFolder, std::u16string_view aIntentName, bool aKeepPending = false);

}  // namespace revurov
