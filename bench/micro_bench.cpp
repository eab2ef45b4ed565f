// Microbenchmarks of the decoder's stages, each kernel at every level this
// processor runs (plain, sse4.1, avx2 or neon), and whole-stream decodes.
//
//   quorvel_bench [--benchmark_filter=REGEX] [other Google Benchmark flags]
//
// Kernels run on seeded random input of the ranges they meet in decoding;
// WritePcm and the layer decoders run on the corpus streams of bench_streams.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "api/decoder_state.h"
#include "bench_streams.h"
#include "cpu.h"
#include "layers/layer1.h"
#include "layers/layer2_tables.h"
#include "layers/layer3_front.h"
#include "layers/requant.h"
#include "layers/requant_full.h"
#include "output/pcm.h"
#include "output/pcm_full.h"
#include "output/resampler.h"
#include "synth/synthesis.h"
#include "synth/synthesis_full.h"

#if QUORVEL_BENCH_CPP_API
#include "quorvel/decoder.hpp"
#endif

namespace quorvel::bench {
namespace {

constexpr StreamKind kAllKinds[] = {StreamKind::Layer2Stereo48k384, StreamKind::Layer2JointStereo44k192,
                                    StreamKind::Layer2Mono24k, StreamKind::Layer1Stereo44k384,
                                    StreamKind::Layer2Clipped44k192};

const char* ShortName(StreamKind kind) {
  switch (kind) {
    case StreamKind::Layer2Stereo48k384:
      return "l2_48k_st_384k";
    case StreamKind::Layer2JointStereo44k192:
      return "l2_44k_js_192k";
    case StreamKind::Layer2Mono24k:
      return "l2_24k_mono_48k";
    case StreamKind::Layer1Stereo44k384:
      return "l1_44k_st_384k";
    case StreamKind::Layer2Clipped44k192:
      return "l2_44k_js_192k_clipped";
  }
  return "";
}

std::vector<Q28> RandomValues(size_t n, int32_t lo, int32_t hi, uint32_t seed) {
  std::mt19937 rng(seed);
  std::uniform_int_distribution<int32_t> dist(lo, hi);
  std::vector<Q28> v(n);
  for (Q28& x : v) x = dist(rng);
  return v;
}

// The decoder's output of the first `frames` frames of a stream, as Q28
// blocks, and the frames themselves positioned for their layer decoder.
struct DecodedStream {
  struct Block {
    std::vector<Q28> left, right;  // right empty for one channel
  };
  std::vector<Block> blocks;
  struct Body {
    FrameState frame;
    InputCursor cursor;  // reader at the first bit of the body
  };
  std::vector<Body> bodies;
};

const DecodedStream& Decoded(StreamKind kind) {
  static std::unique_ptr<DecodedStream> cache[5];
  auto& slot = cache[static_cast<int>(kind)];
  if (slot) return *slot;
  slot = std::make_unique<DecodedStream>();
  std::vector<uint8_t> bytes = Stream(kind).bytes;
  bytes.insert(bytes.end(), 8, 0);
  const int32_t length = static_cast<int32_t>(bytes.size());

  auto state = std::make_unique<DecoderState>();
  InitDecoder(*state, 0, nullptr);
  std::vector<uint8_t> out(kMaxResampledBytes);
  const uint8_t* data = bytes.data();
  for (int32_t result = kResultFrame; result == kResultFrame && slot->blocks.size() < 64;) {
    int32_t outBytes = 0, position = 0;
    result = DecompressAudioOn(*state, data, length, out.data(), &outBytes, &position);
    data = nullptr;
    if (outBytes <= 0) continue;
    const PcmBlock& pcm = state->pcm;
    DecodedStream::Block block;
    block.left.assign(pcm.samples[0].begin(), pcm.samples[0].begin() + pcm.samplesPerChannel);
    if (pcm.channels == 2) block.right.assign(pcm.samples[1].begin(), pcm.samples[1].begin() + pcm.samplesPerChannel);
    slot->blocks.push_back(std::move(block));
  }

  static std::vector<uint8_t> kept[5];  // the bodies' readers point into these
  kept[static_cast<int>(kind)] = std::move(bytes);
  const std::vector<uint8_t>& buffer = kept[static_cast<int>(kind)];
  InputCursor cursor;
  ResetCursor(cursor);
  SetBuffer(cursor, buffer.data(), static_cast<uint32_t>(buffer.size()));
  FrameState frame;
  while (slot->bodies.size() < 16 && FindFrame(frame, cursor) == 0) {
    if (frame.layer == 1 || frame.layer == 2) slot->bodies.push_back({frame, cursor});
  }
  return *slot;
}

void SetItems(benchmark::State& state, int64_t perIteration) {
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * perIteration);
}

// --- DCT ---------------------------------------------------------------

void BM_Dct32Values(benchmark::State& state) {
  const std::vector<Q28> in = RandomValues(32 * 64, -0x10000000, 0x0FFFFFFF, 1);
  int32_t out[32];
  size_t slot = 0;
  for (auto _ : state) {
    Dct32Values(&in[32 * slot], out);
    benchmark::DoNotOptimize(out);
    slot = (slot + 1) & 63;
  }
  SetItems(state, 1);
}

void BM_Dct32Lanes(benchmark::State& state, KernelLevel level) {
  const SynthesisKernels& k = SynthesisKernelsFor(level);
  const std::vector<Q28> in = RandomValues(32 * 64, -0x10000000, 0x0FFFFFFF, 2);
  alignas(32) DctLanes out;
  size_t first = 0;
  for (auto _ : state) {
    k.dct32Lanes(&in[32 * first], 8, &out[0][0], 8);
    benchmark::DoNotOptimize(out);
    first = (first + 8) & 63;
  }
  SetItems(state, 8);  // slots
}

// --- windowing and the whole filterbank --------------------------------

void BM_WindowSlots(benchmark::State& state, void (*window)(const ChannelHistory&, int, int, Q28*)) {
  auto history = std::make_unique<ChannelHistory>();
  const std::vector<Q28> values = RandomValues(sizeof(ChannelHistory) / 4, -0x20000, 0x20000, 3);
  std::memcpy(history.get(), values.data(), sizeof(ChannelHistory));
  alignas(32) Q28 out[8 * 32];
  int first = 0;
  for (auto _ : state) {
    window(*history, kCarriedSlots + first, 8, out);
    benchmark::DoNotOptimize(out);
    first = (first + 8) % 32;
  }
  SetItems(state, 8);  // slots
}

void BM_WindowTails(benchmark::State& state, KernelLevel level) {
  const auto kernel = SynthesisKernelsFor(level).windowTails;
  auto first = std::make_unique<ChannelHistory>(), second = std::make_unique<ChannelHistory>();
  const std::vector<Q28> values = RandomValues(sizeof(ChannelHistory) / 4, -0x20000, 0x20000, 4);
  std::memcpy(first.get(), values.data(), sizeof(ChannelHistory));
  std::memcpy(second.get(), values.data(), sizeof(ChannelHistory));
  alignas(32) Q28 out[2][4 * 32];
  for (auto _ : state) {
    kernel(*first, kCarriedSlots + 32, *second, kCarriedSlots + 32, 4, out[0], out[1]);
    benchmark::DoNotOptimize(out);
  }
  SetItems(state, 8);  // slots
}

// --- the full tier's kernels ----------------------------------------------

void BM_FullRequantRows(benchmark::State& state, KernelLevel level) {
  const auto kernel = LayerKernelsFor(level).requantRowsFull;
  FullRequantTerm terms[32];
  for (int sb = 0; sb < 32; ++sb) terms[sb] = kFullRequantTerms[1 + sb % 17][(5 * sb) % 63];
  const std::vector<Q28> codes = RandomValues(12 * 32, 0, 2, 9);
  alignas(32) Q28 rows[12 * 32];
  for (auto _ : state) {
    std::copy(codes.begin(), codes.end(), rows);
    kernel(rows, 12, terms);
    benchmark::DoNotOptimize(rows);
  }
  SetItems(state, 12);  // slots
}

// Layer III's front end: one granule's 576 lines of Huffman values, mostly
// small as in LAME's 128 kbit/s streams, in bands of 4..20 lines.
void BM_Layer3Requantise(benchmark::State& state, KernelLevel level) {
  const auto kernel = Layer3FrontKernelsFor(level).requantise;
  std::vector<int32_t> values = RandomValues(576, -3, 3, 10);
  values[100] = 40;
  values[300] = -700;
  alignas(32) Q28 xr[576];
  for (auto _ : state) {
    for (int line = 0, band = 0; line < 576; ++band) {
      const int width = std::min(4 + 2 * (band % 9), 576 - line);
      kernel(values.data() + line, width, -40 - band, xr + line);
      line += width;
    }
    benchmark::DoNotOptimize(xr);
  }
  SetItems(state, 576);  // lines
}

void BM_Layer3MidSide(benchmark::State& state, KernelLevel level) {
  const auto kernel = Layer3FrontKernelsFor(level).midSide;
  const std::vector<Q28> mid = RandomValues(576, -0x10000000, 0x0FFFFFFF, 11);
  const std::vector<Q28> side = RandomValues(576, -0x04000000, 0x03FFFFFF, 12);
  alignas(32) Q28 left[576], right[576];
  for (auto _ : state) {
    std::copy(mid.begin(), mid.end(), left);
    std::copy(side.begin(), side.end(), right);
    kernel(left, right, 576);
    benchmark::DoNotOptimize(left);
    benchmark::DoNotOptimize(right);
  }
  SetItems(state, 576);  // lines
}

void BM_FullDct(benchmark::State& state, KernelLevel level) {
  const auto kernel = SynthesisKernelsFor(level).fullDct32x4;
  auto history = std::make_unique<FullChannelHistory>();
  const std::vector<Q28> samples = RandomValues(4 * 32, -0x10000000, 0x10000000, 10);
  for (auto _ : state) {
    kernel(samples.data(), 4, *history, kFullCarriedSlots);
    benchmark::DoNotOptimize(history->slot[kFullCarriedSlots].even[0]);
  }
  SetItems(state, 4);  // slots
}

void BM_FullWindow(benchmark::State& state, KernelLevel level) {
  const auto kernel = SynthesisKernelsFor(level).fullWindowSlots;
  auto history = std::make_unique<FullChannelHistory>();
  const std::vector<Q28> values = RandomValues(sizeof(FullChannelHistory) / 4, -(1 << 25), 1 << 25, 11);
  std::memcpy(history.get(), values.data(), sizeof(FullChannelHistory));
  std::vector<Q28> out(kSamplesPerChannel);
  for (auto _ : state) {
    kernel(*history, kFullCarriedSlots, kFullSlotsPerFrame, out.data());
    benchmark::DoNotOptimize(out.data());
  }
  SetItems(state, kFullSlotsPerFrame);  // slots
}

void BM_WritePcmRounded(benchmark::State& state, KernelLevel level) {
  const auto kernel = OutputKernelsFor(level).writePcmRounded;
  const std::vector<Q28> left = RandomValues(kSamplesPerChannel, -0x10000000, 0x10000000, 12);
  const std::vector<Q28> right = RandomValues(kSamplesPerChannel, -0x10000000, 0x10000000, 13);
  std::vector<uint8_t> out(4 * kSamplesPerChannel);
  for (auto _ : state) {
    int32_t overshoot = 0;
    kernel(out.data(), kSamplesPerChannel, left.data(), right.data(), overshoot);
    benchmark::DoNotOptimize(out.data());
  }
  SetItems(state, kSamplesPerChannel / 32);  // slots
}

void BM_SynthesizeFrame(benchmark::State& state, KernelLevel level) {
  ForceKernelLevel(level);
  auto synthesis = std::make_unique<SynthesisState>();
  auto pcm = std::make_unique<PcmBlock>();
  auto frame = std::make_unique<FrameState>();
  ResetSynthesis(*synthesis, *pcm);
  frame->layer = 2;
  frame->modeCode = kModeStereo;
  frame->sampleRate = 48000;
  for (int ch = 0; ch < 2; ++ch) {
    const std::vector<Q28> v = RandomValues(kSamplesPerChannel, -0x08000000, 0x08000000, 4 + ch);
    std::copy(v.begin(), v.end(), frame->samples[ch].begin());
  }
  for (auto _ : state) {
    SynthesizeFrame(*synthesis, *frame, *pcm);
    benchmark::DoNotOptimize(pcm->samples[0][0]);
  }
  SetItems(state, 1);  // frames of 36 slots x 2 channels
  ForceKernelLevel(BestKernelLevel());
}

// --- layer decoders ----------------------------------------------------

void BM_DecodeLayer(benchmark::State& state, StreamKind kind, KernelLevel level) {
  ForceKernelLevel(level);
  const DecodedStream& decoded = Decoded(kind);
  if (decoded.bodies.empty()) {
    state.SkipWithError("no frame in the stream");
    return;
  }
  auto frame = std::make_unique<FrameState>();
  InputCursor cursor;
  size_t i = 0;
  for (auto _ : state) {
    const DecodedStream::Body& body = decoded.bodies[i];
    cursor = body.cursor;
    frame->layer = body.frame.layer;
    frame->modeCode = body.frame.modeCode;
    frame->modeExtension = body.frame.modeExtension;
    frame->bitrate = body.frame.bitrate;
    frame->sampleRate = body.frame.sampleRate;
    frame->flags = body.frame.flags;
    frame->runningCrc = body.frame.runningCrc;
    frame->storedCrc = body.frame.storedCrc;
    const int result = frame->layer == 1 ? DecodeLayer1(cursor, *frame) : DecodeLayer2(cursor, *frame);
    benchmark::DoNotOptimize(result);
    i = (i + 1) % decoded.bodies.size();
  }
  SetItems(state, 1);  // frames
  ForceKernelLevel(BestKernelLevel());
}

// --- output ------------------------------------------------------------

void BM_WritePcm(benchmark::State& state, StreamKind kind, KernelLevel level) {
  const OutputKernels& k = OutputKernelsFor(level);
  const DecodedStream& decoded = Decoded(kind);
  if (decoded.blocks.empty()) {
    state.SkipWithError("no frame decoded");
    return;
  }
  std::vector<uint8_t> out(kMaxFrameBytes);
  int32_t residual[2] = {0, 0};
  int32_t overshoot = 0;
  size_t i = 0;
  int64_t samples = 0;
  for (auto _ : state) {
    const DecodedStream::Block& b = decoded.blocks[i];
    const uint32_t n = static_cast<uint32_t>(b.left.size());
    k.writePcm(out.data(), n, b.left.data(), b.right.empty() ? nullptr : b.right.data(), residual, overshoot);
    benchmark::DoNotOptimize(out.data());
    samples += n * (b.right.empty() ? 1 : 2);
    i = (i + 1) % decoded.blocks.size();
  }
  state.SetItemsProcessed(samples);
}

void BM_ResampleBlock(benchmark::State& state) {
  const std::vector<Q28> in = RandomValues(1152, -0x10000000, 0x0FFFFFFF, 6);
  const uint32_t capacity = ResampledCapacity(1152, 44100, 48000);
  std::vector<Q28> out(capacity);
  for (auto _ : state) {
    ResamplerState resampler;
    SetupResampler(resampler, 44100, 48000);
    benchmark::DoNotOptimize(ResampleBlock(resampler, 1152, in.data(), out.data(), capacity));
  }
  SetItems(state, 1152);
}

// --- whole streams -----------------------------------------------------

void BM_DecodeStream(benchmark::State& state, StreamKind kind, KernelLevel level) {
  ForceKernelLevel(level);
  const std::vector<uint8_t>& bytes = Stream(kind).bytes;
  uint64_t frames = 0, samplesPerChannel = 0;
  uint32_t rate = 0;
  for (auto _ : state) {
#if QUORVEL_BENCH_CPP_API
    Decoder decoder;
    decoder.Feed(bytes.data(), bytes.size());
    decoder.Finish();
    Frame frame;
    for (auto next = decoder.Pull(frame); next == Decoder::Next::Frame || next == Decoder::Next::Skipped;
         next = decoder.Pull(frame)) {
      if (!frame.decoded()) continue;
      ++frames;
      samplesPerChannel += frame.samples;
      rate = frame.sampleRate;
      benchmark::DoNotOptimize(frame.pcm.data());
    }
#else
    auto decoder = std::make_unique<DecoderState>();
    std::vector<uint8_t> padded = bytes;
    padded.insert(padded.end(), 8, 0);
    std::vector<uint8_t> out(kMaxResampledBytes);
    InitDecoder(*decoder, 0, nullptr);
    const uint8_t* data = padded.data();
    for (int32_t result = kResultFrame; result == kResultFrame;) {
      int32_t outBytes = 0, position = 0;
      result = DecompressAudioOn(*decoder, data, static_cast<int32_t>(padded.size()), out.data(), &outBytes, &position);
      data = nullptr;
      if (outBytes > 0) {
        ++frames;
        samplesPerChannel += static_cast<uint16_t>(decoder->pcm.samplesPerChannel);
        rate = static_cast<uint32_t>(decoder->pcm.sampleRate);
      }
    }
#endif
  }
  state.counters["frames/s"] = benchmark::Counter(static_cast<double>(frames), benchmark::Counter::kIsRate);
  state.counters["x_realtime"] =
      benchmark::Counter(rate ? static_cast<double>(samplesPerChannel) / rate : 0.0, benchmark::Counter::kIsRate);
  state.SetLabel(Stream(kind).label);
  ForceKernelLevel(BestKernelLevel());
}

std::vector<KernelLevel> Levels() {
  std::vector<KernelLevel> levels;
  for (KernelLevel level : kAllKernelLevels) {
    if (KernelLevelSupported(level)) levels.push_back(level);
  }
  return levels;
}

void WindowFor(KernelLevel level, const std::string& name) {
  benchmark::RegisterBenchmark(name.c_str(), BM_WindowSlots, SynthesisKernelsFor(level).windowSlots);
}

void RegisterAll() {
  benchmark::RegisterBenchmark("Dct32Values/plain", BM_Dct32Values);
  for (KernelLevel level : Levels()) {
    const std::string suffix = std::string("/") + KernelLevelName(level);
    benchmark::RegisterBenchmark(("Dct32Lanes" + suffix).c_str(), BM_Dct32Lanes, level);
    WindowFor(level, "WindowSlots" + suffix);
    benchmark::RegisterBenchmark(("WindowTails" + suffix).c_str(), BM_WindowTails, level);
    benchmark::RegisterBenchmark(("SynthesizeFrame" + suffix).c_str(), BM_SynthesizeFrame, level);
    benchmark::RegisterBenchmark(("FullRequantRows" + suffix).c_str(), BM_FullRequantRows, level);
    benchmark::RegisterBenchmark(("FullDct" + suffix).c_str(), BM_FullDct, level);
    benchmark::RegisterBenchmark(("Layer3Requantise" + suffix).c_str(), BM_Layer3Requantise, level);
    benchmark::RegisterBenchmark(("Layer3MidSide" + suffix).c_str(), BM_Layer3MidSide, level);
    benchmark::RegisterBenchmark(("FullWindow" + suffix).c_str(), BM_FullWindow, level);
    benchmark::RegisterBenchmark(("WritePcmRounded" + suffix).c_str(), BM_WritePcmRounded, level);
    for (StreamKind kind : {StreamKind::Layer2Stereo48k384, StreamKind::Layer1Stereo44k384}) {
      const char* layer = kind == StreamKind::Layer1Stereo44k384 ? "DecodeLayer1/" : "DecodeLayer2/";
      benchmark::RegisterBenchmark((layer + std::string(ShortName(kind)) + suffix).c_str(), BM_DecodeLayer, kind,
                                   level);
    }
    for (StreamKind kind : kAllKinds) {
      benchmark::RegisterBenchmark(("WritePcm/" + std::string(ShortName(kind)) + suffix).c_str(), BM_WritePcm, kind,
                                   level);
    }
  }
  benchmark::RegisterBenchmark("ResampleBlock/44100_to_48000", BM_ResampleBlock);
  for (KernelLevel level : {KernelLevel::kPlain, BestKernelLevel()}) {
    for (StreamKind kind : kAllKinds) {
      benchmark::RegisterBenchmark(
          ("DecodeStream/" + std::string(ShortName(kind)) + "/" + KernelLevelName(level)).c_str(), BM_DecodeStream,
          kind, level)
          ->Unit(benchmark::kMillisecond);
    }
    if (level == BestKernelLevel()) break;
  }
}

}  // namespace
}  // namespace quorvel::bench

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  quorvel::bench::RegisterAll();
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
