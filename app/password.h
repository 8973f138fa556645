// The administrator password's scrambling and its stored form.
//
// API contract:
// - `ScramblePassword(text, n)` / `UnscramblePassword(text, n)` work in
//   place on 1-based positions 2..n (a running sum mod 256 and its inverse);
//   the tool passes n = length - 1, so the first and last characters keep
//   their values. n is clamped to the text's length; n < 2 changes nothing.
// - `StoreScrambled` / `LoadScrambled` keep a scrambled value in the "PW"
//   key of an INI section so that it reads back exactly (the users' clear
//   passwords go the same way, so their blanks survive too). A value that a
//   line-based file keeps as it is (no control character, no blank at
//   either end, no lone surrogate) is written as before; any other is
//   written as hex code units into both "PW" and "PWHex". The hex form is
//   used only while both keys hold the same text, so a value that an older
//   tool writes into "PW" alone wins, and values of older files read as
//   before.
// - `StoreAdminPassword` / `LoadAdminPassword` keep the administrator's
//   clear password so that every password reads back unchanged. One whose
//   code units between the first and the last are all below 256 is stored
//   scrambled as above (the form older tools read). Any other, which the
//   mod-256 running sum cannot keep, is scrambled by the same running sum
//   mod 65536 and written as hex into both "PW" and "PWWide"; an older tool
//   then asks for a password nobody knows.
#pragma once

#include <string>
#include <string_view>

#include "platform/ini_file.h"

namespace tesmira {

void ScramblePassword(std::u16string& text, int n);
void UnscramblePassword(std::u16string& text, int n);

void StoreScrambled(revurov::platform::TMemIniFile& ini, std::u16string_view section,
                    std::u16string_view scrambled);
std::u16string LoadScrambled(const revurov::platform::TMemIniFile& ini, std::u16string_view section);

void StoreAdminPassword(revurov::platform::TMemIniFile& ini, std::u16string_view section,
                        std::u16string_view password);
std::u16string LoadAdminPassword(const revurov::platform::TMemIniFile& ini, std::u16string_view section);

}  // namespace tesmira
