// A log that keeps every line it is given, as UTF-8, with its priority and
// category; lines of one WriteStrings call stay together as a block.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "lowlevel/components/log.h"
#include "platform/format.h"
#include "support/u8_text.h"

namespace revurov::testing {

class TRecordingTransportLog : public TnxBaseLog {
  REVUROV_COMPONENT_CLASS(TRecordingTransportLog, TnxBaseLog)
  using TnxBaseLog::TnxBaseLog;

  struct Block {
    std::vector<std::string> lines;
    TnxLogPriority priority;
    std::string category;
  };

  std::vector<Block> Blocks() const {
    std::lock_guard<std::mutex> guard(rlLock);
    return rlBlocks;
  }

  void WriteBlock(std::u16string_view aText, const void*, std::size_t, uint32_t,
                  TnxLogPriority aPriority, std::u16string_view aCategory, double,
                  int32_t) override {
    Add({{U8(aText)}, aPriority, U8(aCategory)});
  }
  void WriteString(std::u16string_view aMessage, uint32_t, TnxLogPriority aPriority,
                   std::u16string_view aCategory, double, int32_t) override {
    Add({{U8(aMessage)}, aPriority, U8(aCategory)});
  }
  void WriteString(std::u16string_view aFormat, std::initializer_list<platform::TFormatArg> aArgs,
                   uint32_t aNumber, TnxLogPriority aPriority, std::u16string_view aCategory,
                   double aTime, int32_t aBias) override {
    WriteString(platform::Format(aFormat, aArgs), aNumber, aPriority, aCategory, aTime, aBias);
  }
  void WriteStrings(const TnxLogLines& aLines, uint32_t, TnxLogPriority aPriority,
                    std::u16string_view aCategory, double, int32_t) override {
    Block block{{}, aPriority, U8(aCategory)};
    for (const auto& line : aLines) block.lines.push_back(U8(line));
    Add(std::move(block));
  }
  void WriteLogData(InxLogData*) override {}

private:
  void Add(Block aBlock) {
    std::lock_guard<std::mutex> guard(rlLock);
    rlBlocks.push_back(std::move(aBlock));
  }

  mutable std::mutex rlLock;
  std::vector<Block> rlBlocks;
};

}  // namespace revurov::testing
