// Over the corpus: wrapping a stream in tags or a WAVE file changes neither
// its PCM nor its frame counts, in both tiers, with the input's size known
// (with its tail read ahead or not) or not. Each stream is cut to a prefix and meets
// three of the wrappers, in turn, so that the whole corpus runs in seconds.
// The prefix ends where a frame ends: a frame cut short before a tag reaches
// into it, and a tag whose payload holds a header where the cut frame's
// successor should be continues the chain (see the note in audio_gate.h).
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "corpus.h"
#include "test_streams.h"
#include "wrappers.h"

namespace quorvel::test {
namespace {

constexpr size_t kPrefixBytes = 12 * 1024;

struct Wrapper {
  const char* name;
  std::function<Bytes(const Bytes&)> wrap;
  bool twice = false;  // the bare equivalent is the stream twice (a tag between two copies)
};

std::vector<Wrapper> Wrappers() {
  const Bytes art = SyncLike(30);
  return {
      {"id3v2.3 front", [art](const Bytes& s) { return Cat({Id3v2(3, PrivFrame(art)), s}); }},
      {"id3v2.4 front with footer", [art](const Bytes& s) { return Cat({Id3v2(4, PrivFrame(art), true), s}); }},
      {"id3v1 end", [](const Bytes& s) { return Cat({s, Id3v1()}); }},
      {"TAG+ and id3v1 end", [](const Bytes& s) { return Cat({s, Id3v1Enhanced(), Id3v1()}); }},
      {"apev2 end", [art](const Bytes& s) { return Cat({s, Ape(2000, true, art)}); }},
      {"lyrics3v2 and id3v1 end", [](const Bytes& s) { return Cat({s, Lyrics3v2("IND0000210"), Id3v1()}); }},
      {"id3v2.3 between two copies", [art](const Bytes& s) { return Cat({s, Id3v2(3, PrivFrame(art)), s}); }, true},
      {"bwf with bext, LIST after data",
       [](const Bytes& s) {
         return Wave({FmtChunk(0x50), BextChunk("take 1", "Quorvel", "2026-12-09"), {"data", s}, ListChunk()});
       }},
      {"rf64", [](const Bytes& s) { return Wave({FmtChunk(0x50), {"data", s}, ListChunk()}, true); }},
  };
}

TEST(ContainerCorpus, WrappersChangeNeitherPcmNorFrameCount) {
  const auto corpus = CorpusDir();
  if (!corpus) GTEST_SKIP() << "corpus not found: set QUORVEL_CORPUS";
  const std::vector<Wrapper> wrappers = Wrappers();
  size_t index = 0;
  int checked = 0;
  for (const char* folder : {"iso", "twolame", "ffmpeg", "synth", "iso-layer3"}) {
    for (const auto& entry : std::filesystem::directory_iterator(*corpus / folder)) {
      const std::string ext = entry.path().extension().string();
      if (ext != ".bit" && ext != ".mp2" && ext != ".mp1" && ext != ".mpa") continue;
      Bytes stream = ReadFile(entry.path());
      if (stream.size() > kPrefixBytes) {
        size_t cut = kPrefixBytes;
        const std::vector<size_t> starts = WalkFrames(stream);
        for (const size_t at : starts) {
          if (at > 0 && at <= kPrefixBytes) cut = at;
        }
        stream.resize(cut);
      }
      const Bytes twice = Cat({stream, stream});
      for (const Accuracy accuracy : {Accuracy::Full, Accuracy::Compatible}) {
        const Decoded bare = DecodeInput(stream, accuracy, false);
        const Decoded bareTwice = DecodeInput(twice, accuracy, false);
        for (size_t k = 0; k < 3; ++k) {
          const Wrapper& w = wrappers[(index + 3 * k) % wrappers.size()];
          const Decoded& expected = w.twice ? bareTwice : bare;
          const Bytes input = w.wrap(stream);
          for (const bool known : {false, true}) {
            SCOPED_TRACE(entry.path().string() + ", " + w.name +
                         (accuracy == Accuracy::Full ? ", full" : ", compatible") +
                         (known ? ", size known" : ", size unknown"));
            // Every other stream is told only its size, not its tail.
            const Decoded d = DecodeInput(input, accuracy, known, 4096, index % 2 ? 0 : 65536);
            EXPECT_EQ(d.frames, expected.frames);
            EXPECT_EQ(d.skipped.Total(), expected.skipped.Total());
            EXPECT_TRUE(d.pcm == expected.pcm);
            EXPECT_TRUE(d.container.warnings.empty());
            ++checked;
          }
        }
      }
      ++index;
    }
  }
  EXPECT_GT(checked, 1000);
}

}  // namespace
}  // namespace quorvel::test
