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

// On a file, a slice that starts later than the beginning is reached by a
// seek: the decoder indexes the stream's frames (a fast scan of the file),
// locates the first sample, and the decode resumes a few frames before it
// with the same samples as from the beginning. That holds where the output
// is the decoder's timeline: damaged frames concealed and no processing
// (whose gain adapts over the whole stream); otherwise, and on pipes, the
// decode runs from the beginning and the slice is cut from it.
void SeekToStart(const Settings& s, InputFile& in, Decoder& decoder, Timeline& timeline) {
  if (!s.trim.start || !in.Seekable() || !s.conceal || s.processing) return;
  std::vector<uint8_t> chunk(size_t{1} << 16);
  while (const size_t got = in.Read(chunk)) decoder.IndexFeed(std::span<const uint8_t>(chunk.data(), got));
  decoder.IndexFinish();
  const uint32_t rate = decoder.IndexedRate();
  if (rate == 0 || !decoder.Seekable()) {  // no frames: decoded from the start
    in.Seek(0);
    return;
  }
  const SampleRange range = Resolve(s.trim, rate);
  const uint64_t total = decoder.IndexedSamples();
  if (range.begin >= total) {
    throw Failure(in.name() + ": --start " + s.trim.start->text + " is past the end of the stream (" +
                  std::to_string(total) + " samples at " + std::to_string(rate) + " Hz)");
  }
  const Location at = decoder.Locate(range.begin);
  if (!in.Seek(at.offset)) {
    in.Seek(0);
    return;
  }
  decoder.Restart(at.offset);
  timeline.Resume(range, range.begin - at.discard);
}

// A slice that starts at or past the end of the timeline is an error; one
// that ends past it is written to the end, with a warning.
void CheckTrim(const TrimSpec& trim, const std::string& name, const Timeline& timeline, Console& console) {
  const uint64_t total = timeline.Position();
  const std::string length = std::to_string(total) + " samples at " + std::to_string(timeline.Format().rate) + " Hz";
  if (trim.start && timeline.Range().begin >= total) {
    throw Failure(name + ": --start " + trim.start->text + " is past the end of the stream (" + length + ")");
  }
  if ((trim.end || trim.duration) && timeline.Range().end > total) {
    const TimeSpec& end = trim.end ? *trim.end : *trim.duration;
    console.Warning(name + ": " + (trim.end ? "--end " : "--duration ") + end.text +
                    " reaches past the end of the stream (" + length + "); wrote up to its end");
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
    timeline.SetTrim(s.trim);
    SeekToStart(s, in, decoder, timeline);
    StreamFacts facts;
    RunDecoder(in, decoder, &progress, [&](const Frame& f) {
      facts.Add(f);
      timeline.Take(f);
    });
    const SkipCounts& skipped = decoder.stats().skipped;
    const Container& container = decoder.container();
    for (const std::string& w : container.warnings) console.Warning(in.name() + ": " + w);
    if (!facts.first) throw Failure(NoAudioMessage(in.name(), container, skipped));
    timeline.Start(*facts.first);  // every frame was dropped: an empty file of the stream's format
    CheckTrim(s.trim, in.name(), timeline, console);
    sink->Finish();
    Warn(s, in.name(), facts, skipped, timeline.Format(), TrailerOf(facts, in, container), console);
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
