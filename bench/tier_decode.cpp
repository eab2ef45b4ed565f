// quorvel_tier_decode: decodes whole MPEG audio files through the stages of
// one arithmetic tier, without the frame call's buffer handling, so that
// callgrind counts compare the tiers' stages on the same frames.
//
//   quorvel_tier_decode [--tier full|compatible] [--raw] FILE...
//
// Each file is read whole and followed by 8 zero bytes, so that its last
// frame is confirmed. Prints frames and audio seconds to stderr; --raw writes
// the 16-bit PCM to stdout.
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "bitstream/frame.h"
#include "layers/layer_decoders.h"
#include "layers/requant_full.h"
#include "output/pcm.h"
#include "output/pcm_full.h"
#include "synth/synthesis.h"
#include "synth/synthesis_full.h"

namespace {

struct Pipeline {
  quorvel::FrameState frame;
  quorvel::SynthesisState synthesis;
  quorvel::FullSynthesisState fullSynthesis;
  quorvel::PcmBlock pcm;
  int32_t residual[2] = {0, 0};
};

bool DecodeFile(Pipeline& p, bool full, const char* path, bool raw, uint64_t& frames, double& seconds) {
  std::FILE* in = std::fopen(path, "rb");
  if (!in) {
    std::fprintf(stderr, "quorvel_tier_decode: cannot open %s\n", path);
    return false;
  }
  std::vector<uint8_t> stream;
  uint8_t chunk[65536];
  for (size_t got; (got = std::fread(chunk, 1, sizeof chunk, in)) > 0;) stream.insert(stream.end(), chunk, chunk + got);
  std::fclose(in);
  stream.resize(stream.size() + 8, 0);
  std::vector<uint8_t> out(4 * quorvel::kSamplesPerChannel);
  quorvel::InputCursor cursor;
  quorvel::ResetCursor(cursor);
  quorvel::SetBuffer(cursor, stream.data(), static_cast<uint32_t>(stream.size()));
  quorvel::ResetFrameState(p.frame);
  quorvel::ResetSynthesis(p.synthesis, p.pcm);
  quorvel::ResetFullSynthesis(p.fullSynthesis);
  for (;;) {
    const int decoded = full ? quorvel::DecodeFrameCodes(p.frame, cursor) : quorvel::DecodeFrame(p.frame, cursor);
    if (decoded != 0) {
      if (cursor.status == quorvel::StatusNeedData) break;
      cursor.synchronised = 0;  // search on and confirm what is found
      continue;
    }
    int32_t overshoot = 0;
    int32_t bytes;
    const quorvel::PcmBlock& pcm = p.pcm;
    if (full) {
      quorvel::RequantFull(p.frame);
      quorvel::SynthesizeFrameFull(p.fullSynthesis, p.frame, p.pcm);
      bytes = quorvel::WritePcmRounded(out.data(), static_cast<uint32_t>(pcm.samplesPerChannel), pcm.samples[0].data(),
                                       pcm.channels == 2 ? pcm.samples[1].data() : nullptr, overshoot);
    } else {
      quorvel::SynthesizeFrame(p.synthesis, p.frame, p.pcm);
      bytes = quorvel::WritePcm(out.data(), static_cast<uint32_t>(pcm.samplesPerChannel), pcm.samples[0].data(),
                                pcm.channels == 2 ? pcm.samples[1].data() : nullptr, p.residual, overshoot);
    }
    ++frames;
    seconds += static_cast<double>(pcm.samplesPerChannel) / pcm.sampleRate;
    if (raw) std::fwrite(out.data(), 1, static_cast<size_t>(bytes), stdout);
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  bool full = true, raw = false;
  int first = 1;
  while (first < argc && std::strncmp(argv[first], "--", 2) == 0) {
    const std::string option = argv[first];
    if (option == "--raw") {
      raw = true;
    } else if (option == "--tier" && first + 1 < argc && (std::strcmp(argv[first + 1], "full") == 0 ||
                                                          std::strcmp(argv[first + 1], "compatible") == 0)) {
      full = std::strcmp(argv[++first], "full") == 0;
    } else {
      std::fprintf(stderr, "quorvel_tier_decode: unknown option %s\n", option.c_str());
      return 2;
    }
    ++first;
  }
  if (first >= argc) {
    std::fprintf(stderr, "usage: quorvel_tier_decode [--tier full|compatible] [--raw] FILE...\n");
    return 2;
  }
  auto pipeline = std::make_unique<Pipeline>();
  uint64_t frames = 0;
  double seconds = 0;
  bool ok = true;
  for (int i = first; i < argc; ++i) ok = DecodeFile(*pipeline, full, argv[i], raw, frames, seconds) && ok;
  std::fprintf(stderr, "%llu frames, %.3f s of audio (%s tier)\n", static_cast<unsigned long long>(frames), seconds,
               full ? "full" : "compatible");
  return ok ? 0 : 1;
}
