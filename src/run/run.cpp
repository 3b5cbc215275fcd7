// The conversion run: settings are parsed before it starts. With the
// mencoder engine, standard error then goes to error.txt, the encoders make
// the temporary movie, the frame loop converts it, and the teardown deletes
// the working files; with the built-in engine the frame loop takes its frames
// straight from the movie. Every phase returns how it ended; the first
// failure's line is printed once, here, after the holders have released what
// was open, and then any note for the terminal.
#include "run/run.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>

#include "frame/pipeline.h"
#include "movie/builtin/builtin.h"
#include "movie/builtin/frame_choice.h"
#include "movie/frame_source.h"
#include "movie/mencoder/avi_source.h"
#include "movie/mencoder/encoder.h"
#include "movie/movie_info.h"
#include "movie/sizing.h"
#include "raster.h"
#include "run/stepping.h"
#include "run/terminal.h"
#include "run/working_files.h"
#include "util/paths.h"
#include "util/stop_signals.h"
#include "videofile/videofile.h"

namespace {

// How a phase ended: done, or stopped by a failure (the line the run prints,
// and what the terminal is told after it, if the line alone hides a cause
// the user can act on) or by a stop signal.
struct Outcome {
  std::string line;
  int signal = 0;
  std::string note;
  bool done() const { return line.empty() && signal == 0; }
};

const Outcome kDone{};
Outcome fail(std::string line, std::string note = {}) { return {std::move(line), 0, std::move(note)}; }
Outcome stopped(int signal) { return {{}, signal, {}}; }

// The word for a source that failed to open, by the step that failed: the
// whole line for the temporary movie, the start of it for the built-in
// engine, which adds its reason.
constexpr struct {
  SourceStatus status;
  const char* word;
} kOpenFailures[] = {
    {SourceStatus::open_failed, "Open error"},         {SourceStatus::info_failed, "Info error"},
    {SourceStatus::stream_failed, "Stream error"},     {SourceStatus::stream_info_failed, "Stream Info error"},
    {SourceStatus::getter_failed, "Frame Open error"}, {SourceStatus::too_large, "Size error"},
    {SourceStatus::cannot_fit, "Size error"},          {SourceStatus::no_frames, "Decode error"},
    {SourceStatus::start_past_end, kStartError},
};

const char* open_failure(SourceStatus status) {
  for (const auto& f : kOpenFailures)
    if (f.status == status) return f.word;
  return "Open error";
}

// ---- Notes for the terminal: the causes the console's line leaves out ----

constexpr const char* kBrokenPipeNote = "Interrupted: standard output was closed (SIGPIPE)";

constexpr const char* kOrBuiltin = "add --engine=builtin to convert without it";

// A system error as a note: what failed and why; none if the cause is unknown.
std::string system_note(const char* what, int err) {
  return err ? std::string(what) + ": " + std::strerror(err) : std::string();
}

std::string killed_note(int signal, const char* doing) {
  return "mencoder was ended by signal " + std::to_string(signal) + " (" + strsignal(signal) + ")" + doing + "; " +
         kOrBuiltin;
}

// The temporary movie is mencoder's work: when it cannot be read, the other
// engine can still convert the movie.
std::string temp_movie_note() {
  return std::string("the temporary movie mencoder wrote cannot be read (error.txt has what mencoder said); ") +
         kOrBuiltin;
}

// mencoder shows an HDR movie's code values as if they were SDR's; the
// built-in engine tone-maps them. The conversion goes on: its file is what it
// always was.
constexpr const char* kHdrNote =
    "the movie is HDR (PQ or HLG), which mencoder shows dark and flat; add --engine=builtin to tone-map it";

// The error number of opening `path` for reading, 0 if it opens.
int open_error(const char* path) {
  const int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return errno;
  close(fd);
  return 0;
}

// Why the probe left no temporary movie to read, as far as the run can tell:
// the movie cannot be opened, mencoder died, libavformat found no movie or no
// video in it either, or only mencoder cannot read it.
std::string probe_note(const char* moviepath, bool known, const MovieInfo& info, EncoderStatus probe, int signal) {
  if (const int err = open_error(moviepath)) return system_note("cannot open the movie", err);
  if (probe == EncoderStatus::Ok) return temp_movie_note();
  if (probe == EncoderStatus::Killed) return killed_note(signal, " while it read the movie");
  if (!known) return "neither mencoder nor FFmpeg's libraries can read the movie (error.txt has what they said)";
  if (!info.video) return "the file has no video";
  return "mencoder could not read the movie (error.txt has what it said); add --engine=builtin to convert it with "
         "FFmpeg's libraries instead";
}

// What an encoder run's end means for the run. The console keeps the terse
// "Error pipe"; error.txt and the terminal say what to do about it.
Outcome encoder_outcome(EncoderStatus status, int signal) {
  switch (status) {
    case EncoderStatus::Ok:
      return kDone;
    case EncoderStatus::Interrupted:
      return stopped(signal);
    case EncoderStatus::NotFound:
      std::fputs("mencoder could not be started: is it installed (apt-get install mencoder) and on PATH?\n",
                 stderr);
      return fail("Error pipe",
                  "mencoder is not installed (it is not on PATH): install it with apt-get install mencoder, or add "
                  "--engine=builtin to convert without it");
    case EncoderStatus::SpawnFailed:
      std::fputs("mencoder could not be started: it is on PATH, but it cannot be run, or no process or pipe is left "
                 "for it\n",
                 stderr);
      return fail("Error pipe", std::string("mencoder could not be started (see error.txt); ") + kOrBuiltin);
    case EncoderStatus::Failed:
      return fail("\nEncoder error: mencoder failed (see error.txt)");
    case EncoderStatus::Killed:
      return fail("\nEncoder error: mencoder was killed by a signal (see error.txt)", killed_note(signal, ""));
  }
  return kDone;
}

// Sends what was printed on its way. Outside the stretches that catch the
// stop signals a closed standard output only shows here (the whole run's
// BrokenPipeWatch turned its SIGPIPE into EPIPE): the run stops as a SIGPIPE
// inside one would stop it.
Outcome flush_output() {
  std::fflush(stdout);
  return broken_pipe() ? stopped(broken_pipe()) : kDone;
}

constexpr const char* kCannotFit = "Size error: the picture cannot be fitted to 96 x 64";

void print_sizes_in(FrameSize in) {
  std::printf("In Width: %d\nIn Height: %d\n", static_cast<int>(in.width), static_cast<int>(in.height));
}

void print_sizes_out(FrameSize out) {
  std::printf("Out Width: %d\nOut Height: %d\n", static_cast<int>(out.width), static_cast<int>(out.height));
}

// Seconds with one decimal, for messages about times.
std::string seconds(int64_t ms) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f", static_cast<double>(ms) / 1000);
  return text;
}

// Probe run, sizing rule, transcoding run with its "Phase 1" progress: leaves
// a 96 x 64, 10 frames-per-second temporary movie of the clip asked for.
Outcome prepare_movie(const ConversionSettings& s, Terminal& terminal) {
  const char* moviepath = s.moviepath.c_str();
  // What the container says; a movie it cannot open is left to mencoder to
  // report in its own way.
  MovieInfo info;
  const bool known = read_movie_info(moviepath, info);
  if (info.hdr) terminal.note(kHdrNote);
  if (info.duration_ms >= 0 && s.start_ms >= info.duration_ms)
    return fail("Start error: the movie is " + seconds(info.duration_ms) + " seconds long; the clip at " +
                seconds(s.start_ms) + " seconds starts after its end");
  if (const Outcome o = flush_output(); !o.done()) return o;
  int signal = 0;
  // mencoder is given memory for the picture the container claims.
  const int64_t data_limit = encoder_data_limit(info.width, info.height);
  const EncoderStatus probe = probe_run(moviepath, info.transport_stream, data_limit, signal);
  // Whether the probe itself succeeded shows in the opening of its movie.
  if (probe == EncoderStatus::Interrupted || probe == EncoderStatus::NotFound ||
      probe == EncoderStatus::SpawnFailed)
    return encoder_outcome(probe, signal);

  FrameSize stored;
  if (const SourceStatus status = read_movie_size(kTempMovie, stored); status != SourceStatus::ok)
    return fail(open_failure(status), probe_note(moviepath, known, info, probe, signal));
  // The probe's picture is as stored; the sizes are of the picture as shown,
  // and the transcoding run turns it so.
  const FrameSize in = displayed_size(stored.width, stored.height, info.sar_num, info.sar_den, info.turn);
  print_sizes_in(in);
  const int64_t end_ms = s.duration_ms == kNoDuration ? kNoDuration : s.start_ms + s.duration_ms;
  TranscodeRequest request{.size = {},
                           .crop = s.fit == Fit::crop,
                           .end_ms = end_ms,
                           .lavf = info.transport_stream,
                           .turn = info.turn,
                           .data_limit = data_limit};
  if (!fit_size(in.width, in.height, s.fit, request.size)) return fail(kCannotFit);
  print_sizes_out({request.size.outw, request.size.outh});

  std::puts("Please Wait, this may take a few minutes...");
  if (const Outcome o = flush_output(); !o.done()) return o;
  const EncoderStatus status = transcode_run(
      moviepath, request,
      [](int complete) {
        std::printf("Phase 1: %d%%\r", complete);
        std::fflush(stdout);
      },
      signal);
  if (const Outcome o = encoder_outcome(status, signal); !o.done()) return o;
  return flush_output();
}

// A record, the header or the count that did not reach the output file.
Outcome write_failure(const VideoWriter& outfile) {
  return fail("Write error: the output file could not be written",
              system_note("cannot write the output file", outfile.error()));
}

// Reopens the temporary movie and readies its stream for the frame loop.
Outcome open_movie(FrameSource& source) {
  const SourceStatus status = source.open();
  // The leading newline ends the progress line the encoder run left.
  if (status == SourceStatus::open_failed) return fail("\nOpen error", temp_movie_note());
  std::printf("Phase 1: 100%%\n");
  return status == SourceStatus::ok ? kDone : fail(open_failure(status), temp_movie_note());
}

// One output frame: the pipeline from the decoded frame to its record.
Outcome convert_frame(std::span<const uint8_t> dib, const PipelineOptions& o, FrameState& state,
                      VideoWriter& outfile) {
  if (!process_frame(dib, o, state)) return fail("nomoreframes");
  if (!outfile.write_record(state.final, state.final2, o.shades)) {
    std::putchar('\n');  // ends the progress line the message would overwrite
    return write_failure(outfile);
  }
  return kDone;
}

// The frame loop: creates the output file with its header, then fetches the
// source's frames at 10 per second of movie, one record and one "Phase 2"
// line each, and finishes the file with its frame count. A stop signal ends
// the loop after the record in hand.
Outcome convert_frames(FrameSource& source, const SourceTiming& t, const ConversionSettings& s,
                       FrameState& state, VideoWriter& outfile) {
  uint32_t frameskip = 0;
  // The encoder always writes 10; anything else is a broken movie.
  if (!frame_skip(t.rate, t.scale, frameskip)) return fail("Frame Rate error: the movie has no usable frame rate");
  if (!outfile.open(s.outpath.c_str()))
    return fail("Output error: the output file could not be created",
                system_note("cannot create the output file", outfile.error()));
  // A count known only at the end needs a file it can be written back into.
  if (!t.exact_length && !outfile.seekable())
    return fail("Output error: the built-in engine writes the frame count last, so the output must be a file, not a "
                "pipe or a device");

  const double rate = static_cast<double>(t.rate) / t.scale;
  std::printf("Frame Rate = %02.2f hz\nLength = %0.0f seconds\n", rate, t.length / rate);
  const uint32_t framecount = header_frame_count(t.length, t.rate, t.scale);
  if (!outfile.write_header(s.grey, framecount)) return write_failure(outfile);

  const PipelineOptions options = pipeline_options(s);
  const StopSignals stop;
  // A length that is only an estimate does not end the loop: the source does.
  const uint64_t end = t.exact_length ? uint64_t{t.start} + t.length : UINT64_MAX;
  for (Cadence cadence{t.start, 0}; cadence.curframe < end; step(cadence, frameskip)) {
    std::span<const uint8_t> dib;
    const FrameStatus status = cadence.curframe > UINT32_MAX
                                   ? FrameStatus::failed
                                   : source.frame(static_cast<uint32_t>(cadence.curframe), dib);
    if (status == FrameStatus::ended && !t.exact_length) break;
    if (status != FrameStatus::ok) return fail("nomoreframes");
    if (const Outcome o = convert_frame(dib, options, state, outfile); !o.done()) return o;
    std::printf("Phase 2: %d%%\r", progress_percent(cadence.curframe, t.start, t.length));
    std::fflush(stdout);
    if (stop.caught()) return stopped(stop.caught());
  }
  std::printf("Phase 2: 100%%\n");
  return outfile.finish(t.exact_length ? framecount : outfile.records()) ? kDone : write_failure(outfile);
}

// The end of a failed or interrupted run: its line, the output file cut
// back to its whole records under a count of them, the working files kept
// for a look, and last the terminal's note.
RunEnd stop_run(const Outcome& outcome, VideoWriter& outfile, Terminal& terminal) {
  // The console line goes where the others went, and fails (EPIPE, under
  // the run's BrokenPipeWatch) if that pipe is closed: the terminal's
  // standard error, usually still open, says why.
  if (outcome.signal == SIGPIPE) terminal.note(kBrokenPipeNote);
  std::puts(outcome.signal ? "\nInterrupted" : outcome.line.c_str());
  outfile.abandon();
  std::fflush(stdout);
  terminal.note(outcome.note);
  terminal.print_notes();
  return {1, outcome.signal};
}

// The end of a run that made its output.
RunEnd succeed(Terminal& terminal) {
  std::puts("Success!");
  const int status = std::fflush(stdout) == 0 ? 0 : 1;
  terminal.print_notes();
  return {status, 0};
}

// A command line the run refuses before touching any file.
RunEnd refuse(const std::string& line) {
  std::puts(line.c_str());
  std::fflush(stdout);
  return {1, 0};
}

// A run of the built-in engine: the movie decoded here, frames straight into
// the loop; no encoder, no working files, so no lock.
RunEnd run_builtin(const ConversionSettings& s) {
  Terminal terminal;  // standard error itself: the built-in engine never redirects it
  FrameState state;  // the frame buffers: nothing is allocated once frames flow
  VideoWriter outfile;
  BuiltinSource source({.path = s.moviepath, .fit = s.fit, .start_ms = s.start_ms, .duration_ms = s.duration_ms});
  const SourceStatus status = source.open();
  Outcome outcome = status == SourceStatus::ok ? kDone : fail(std::string(open_failure(status)) + ": " + source.failure());
  if (outcome.done()) {
    print_sizes_in(source.size());
    print_sizes_out(source.scaled());
    outcome = convert_frames(source, source.timing(), s, state, outfile);
  }
  if (!outcome.done()) return stop_run(outcome, outfile, terminal);
  return succeed(terminal);
}

}  // namespace

RunEnd run_conversion(const ConversionSettings& settings) {
  // A closed standard output stops the run wherever it is found.
  const BrokenPipeWatch pipe_watch;
  // Checked before anything is written or deleted.
  const char* outpath = settings.outpath.c_str();
  if (same_file(settings.moviepath.c_str(), outpath))
    return refuse("Output error: the output file is the movie itself; choose another name");
  if (settings.engine == Engine::builtin) return run_builtin(settings);
  if (const char* working = working_file_at(outpath))
    return refuse(std::string("Output error: the output file would be this run's working file ") + working +
                  "; choose another name");
  // The working files are shared by every run in this folder: one at a time.
  FolderLock lock;
  Terminal terminal;
  VideoWriter outfile;
  if (!lock.try_lock()) {
    std::puts("Waiting for the other movdith run in this folder to finish...");
    if (const Outcome o = flush_output(); !o.done()) return stop_run(o, outfile, terminal);
    lock.lock();
  }

  const int unwritable = terminal.redirect_stderr(kErrorFile);
  FrameState state;  // the frame buffers: nothing is allocated once frames flow
  Outcome outcome = prepare_movie(settings, terminal);
  if (outcome.done()) {
    AviSource source(kTempMovie);
    outcome = open_movie(source);
    // The temporary movie holds the movie from its start: the clip is the
    // part of it that the frame loop steps through.
    SourceTiming clip = source.timing();
    if (outcome.done() && !clip_timing(clip, settings.start_ms, settings.duration_ms))
      outcome = fail("Start error: the movie ends before the clip's start at " + seconds(settings.start_ms) +
                     " seconds");
    if (outcome.done()) outcome = convert_frames(source, clip, settings, state, outfile);
  }  // the movie is released here
  // Without a place for its working files the engine cannot work at all:
  // that comes before whatever failed after it.
  if (unwritable && !outcome.done() && !outcome.signal)
    outcome.note = system_note("the current folder cannot hold the working files (error.txt", unwritable) +
                   "); run movdith in a folder you can write to, or add --engine=builtin, which needs no working files";
  if (!outcome.done()) return stop_run(outcome, outfile, terminal);

  std::fclose(stderr);
  std::remove(kErrorFile);
  if (std::remove(kTempMovie) != 0) std::puts("You may delete movdithtemp.avi if you wish.");
  return succeed(terminal);
}
