#include "decode.h"

#include <memory>
#include <optional>

#include "facts.h"
#include "md5.h"
#include "sinks.h"
#include "timeline.h"

namespace quorvel::cli {
namespace {

Decoder::Options DecoderOptions(const Settings& s) {
  Decoder::Options o;
  o.accuracy = s.accuracy;
  o.processing = s.processing;
  o.bands = s.bands;
  o.preamp = s.preamp;
  // A WAV file has one rate: by default the first frame's.
  o.outputRate = s.rate ? s.rate : (s.sink == SinkKind::Wav ? kFirstFrameRate : 0);
  o.bufferBytes = s.buffer;
  o.gapless = s.gapless;
  return o;
}

// The warnings about a stream that decoded: format changes, damaged and
// Layer III frames, a cut last frame.
void Warn(const Settings& s, const std::string& name, const StreamFacts& facts, const SkipCounts& skipped,
          const PcmFormat& written, const Trailer& trailer, Console& console) {
  if (facts.rates.size() > 1 || facts.channels.size() > 1) {
    std::string what;
    if (facts.rates.size() > 1) what = "sample rate (" + JoinSet(facts.rates, ", ") + " Hz)";
    if (facts.channels.size() > 1) what += std::string(what.empty() ? "" : " and ") + "channel count (1 and 2)";
    console.Warning(name + ": the stream changes its " + what + " mid-stream; " +
                    (s.sink == SinkKind::Wav
                         ? "wrote all of it as " + std::to_string(written.rate) + " Hz with " +
                               std::to_string(written.channels) + (written.channels == 1 ? " channel" : " channels")
                         : std::string("the PCM changes with it")));
  }
  const uint64_t damaged = skipped.crcError + skipped.badScalefactor + skipped.badAllocation + skipped.badSideInfo +
                           skipped.missingReservoir;
  if (damaged) {
    console.Warning(name + ": " + std::to_string(damaged) + " damaged frame" + (damaged == 1 ? "" : "s") + " " +
                    (s.conceal ? "replaced by silence" : "dropped") + " (" + SkipSummary(skipped, true) + ")");
  }
  if (skipped.unsupportedLayer) {
    console.Warning(name + ": " + std::to_string(skipped.unsupportedLayer) +
                    " Layer III frame(s) skipped (--accuracy compatible does not decode Layer III)");
  }
  if (trailer.truncated) {
    console.Warning(name + ": the stream ends inside a frame; its last " + std::to_string(trailer.bytes) +
                    " bytes were not decoded");
  }
}

}  // namespace

bool DecodeFile(const Settings& s, const Job& job, Console& console, Progress& progress) {
  std::unique_ptr<Sink> sink;
  try {
    InputFile in(job.input);
    Decoder decoder(DecoderOptions(s));
    sink = MakeSink(s.sink, job.output, in.name());
    std::optional<Md5> md5;
    if (s.verify) md5.emplace();
    Timeline timeline(*sink, s.sink == SinkKind::Wav, s.conceal, md5 ? &*md5 : nullptr, progress);
    StreamFacts facts;
    RunDecoder(in, decoder, &progress, [&](const Frame& f) {
      facts.Add(f);
      timeline.Take(f);
    });
    const SkipCounts& skipped = decoder.stats().skipped;
    if (!facts.first) {
      if (skipped.unsupportedLayer) throw Failure(Layer3OnlyMessage(in.name()));
      throw Failure(NoFramesMessage(in.name()));
    }
    timeline.Start(*facts.first);  // every frame was dropped: an empty file of the stream's format
    sink->Finish();
    Warn(s, in.name(), facts, skipped, timeline.Format(), TrailerOf(facts, in), console);
    if (md5) {
      const std::string actual = md5->HexDigest();
      if (actual != *s.verify) throw Failure(in.name() + ": PCM MD5 " + actual + " does not match " + *s.verify);
    }
    sink->Keep();
    return true;
  } catch (const std::exception& e) {
    if (sink) sink->Abandon();
    console.Error(e.what());
    return false;
  }
}

}  // namespace quorvel::cli
