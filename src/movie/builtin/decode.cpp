// The built-in engine's decode loop: pictures out of the decoder, each given
// its time (or a guessed one), damaged, empty and oversized ones counted and
// passed over; the step forward to the picture a time shows; and the seek
// to the keyframe before a clip's start, stepping further back where the
// first one found lies after it.
#include "movie/builtin/engine.h"

extern "C" {
#include <libavutil/error.h>
}

#include <algorithm>
#include <cstdio>
#include <utility>

#include "movie/limits.h"

namespace {

// After a seek the first keyframe may lie after the clip's start (an index
// of decode times, a demuxer that seeks roughly); these are the further steps
// back tried before decoding from the very start.
constexpr int64_t kSeekRetreatMs[] = {1000, 5000, 30000};
// A decoder that keeps failing while being emptied is given up on.
constexpr int kMaxDrainErrors = 64;

constexpr const char* kLogPrefix = "Built-in decoder: ";

}  // namespace

void BuiltinSource::Engine::note(ErrorKind kind, int err) {
  ++errors;
  if (reported[kind]) return;
  reported[kind] = true;
  char reason[AV_ERROR_MAX_STRING_SIZE] = "";
  if (err < 0) av_strerror(err, reason, sizeof reason);
  std::fprintf(stderr, "%s%s%s%s (more of this kind are only counted)\n", kLogPrefix, kErrorText[kind],
               err < 0 ? ": " : "", reason);
}

int BuiltinSource::Engine::decode_next() {
  for (;;) {
    // A stream that needs more pictures at once than the budget holds
    // would only go on failing, differently on every run.
    if (budget.exceeded) {
      note(kNoRoom, 0);
      return 0;
    }
    int r = avcodec_receive_frame(dec, ahead);
    if (r >= 0) {
      if (need_key && !ahead->key_frame) {
        av_frame_unref(ahead);
        continue;
      }
      need_key = false;
      // A size change mid-stream past the limits; the decoder's own limit,
      // with slack for its padding, has refused far larger ones.
      if (ahead->width <= 0 || ahead->height <= 0 || picture_too_large(ahead->width, ahead->height, max_pixels)) {
        note(ahead->width <= 0 || ahead->height <= 0 ? kEmptyPicture : kOversizedPicture, 0);
        av_frame_unref(ahead);
        continue;
      }
      if (ahead->decode_error_flags || (ahead->flags & AV_FRAME_FLAG_CORRUPT)) note(kDamagedPicture, 0);
      int64_t pts = ahead->best_effort_timestamp;
      if (!sane(pts)) pts = ahead->pts;
      if (!sane(pts)) pts = next_guess;
      const int64_t duration = sane(ahead->pkt_duration) && ahead->pkt_duration > 0 ? ahead->pkt_duration
                                                                                     : default_duration;
      ahead_pts = pts;
      ahead_end = pts + duration;
      next_guess = std::min(ahead_end, kMaxTicks - 1);
      ahead_valid = true;
      ahead_whole = !will_show(ahead, pts);
      if (!ahead_whole) ahead_dib_ok = convert(ahead, dibs[ahead_dib]);
      return 1;
    }
    if (r == AVERROR_EOF) return 0;
    if (r != AVERROR(EAGAIN)) {
      note(kRefusedPacket, r);
      if (draining && ++drain_errors > kMaxDrainErrors) return 0;
      if (draining) continue;
    }
    if (draining) return 0;
    if (!send_next()) {
      draining = true;
      avcodec_send_packet(dec, nullptr);
    }
  }
}

void BuiltinSource::Engine::advance(int64_t t) {
  for (;;) {
    if (!ahead_valid) {
      if (exhausted) return;
      if (!decode_next()) {
        exhausted = true;
        return;
      }
    }
    if (ahead_pts > t) return;
    av_frame_unref(held);
    held_valid = ahead_whole;
    if (ahead_whole) {
      av_frame_move_ref(held, ahead);
      dib_valid = false;
    } else {
      std::swap(shown_dib, ahead_dib);
      dib_valid = ahead_dib_ok;
    }
    ahead_valid = false;
    latest_valid = true;
    latest_pts = ahead_pts;
    latest_end = ahead_end;
  }
}

void BuiltinSource::Engine::reset_decoding(bool keyframe_first) {
  avcodec_flush_buffers(dec);
  av_frame_unref(ahead);
  av_frame_unref(held);
  ahead_valid = held_valid = latest_valid = dib_valid = false;
  draining = exhausted = demuxed = false;
  drain_errors = 0;
  for (int i = 0; i < queue_count; ++i) av_packet_unref(queue[(queue_head + i) % kWindow]);
  queue_head = queue_count = sent_next = sent_count = 0;
  queue_bytes = 0;
  need_key = keyframe_first;
}

void BuiltinSource::Engine::seek_to_start() {
  const int64_t target = clock.sample_time(0);
  for (int64_t retreat_ms : {int64_t{0}, kSeekRetreatMs[0], kSeekRetreatMs[1], kSeekRetreatMs[2]}) {
    const int64_t to = target - av_rescale_q(retreat_ms, kMs, st->time_base);
    if (to <= clock.t0) break;
    if (av_seek_frame(fmt, st->index, to, AVSEEK_FLAG_BACKWARD) < 0) return;
    reset_decoding(true);
    if (decode_next() && ahead_pts <= target) return;
  }
  // From the very start: by its timestamp, or, where a timestamp search
  // lands past the first keyframe (a transport stream's does, whose
  // timestamps are found by sampling the file), by its first byte.
  if (av_seek_frame(fmt, st->index, clock.t0, AVSEEK_FLAG_BACKWARD) >= 0) {
    reset_decoding(false);
    if (decode_next() && ahead_pts <= target) return;
  }
  if (av_seek_frame(fmt, st->index, 0, AVSEEK_FLAG_BYTE) >= 0) reset_decoding(false);
}
