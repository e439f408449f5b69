// Video files of rendered frames: H.264 in MP4, VP9 in WebM, or an animated GIF, chosen by the
// output's suffix. Owns FFmpeg's encoder and muxer and the thread that feeds them; knows nothing
// of the renderer, and prints nothing. Like a screenshot, the file appears whole at finish() or
// not at all (app/whole_file.h): the encoded bytes stay in memory until then, and a GIF's frames
// wait as RGB in a temporary file that has no name, so nothing is left behind however the
// process ends. One thread feeds a writer: open, addFrame and finish are not for concurrent use.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <span>
#include <string>

struct VideoSettings {
  int width = 0;  // of the frames given to addFrame, 1 to 16384
  int height = 0;
  int fps = 30;  // 1 to 120
};

class VideoWriter {
 public:
  // A writer for `out`, whose suffix (any case) picks the format:
  //   .mp4   H.264 (libx264, constant quality 20), 4:2:0 BT.709 limited range, index first;
  //   .webm  VP9 (libvpx, constant quality 32), 4:2:0 BT.709 limited range;
  //   .gif   one 255-colour palette for the whole clip, ordered dithering, looping.
  // 4:2:0 needs even sides: an odd width or height is rounded down (the last column or row is
  // dropped; width() and height() tell). Null, with one line naming `out` and the reason in
  // `why`, when the suffix is none of these, the settings are out of range, `out` is not a
  // place WriteDestination accepts (a directory, a device, a FIFO, a missing folder) or its
  // folder is not writable, or this FFmpeg lacks the encoder. Refusing the files the video is
  // made from is the caller's part, as for screenshots.
  static std::unique_ptr<VideoWriter> open(const std::filesystem::path& out, const VideoSettings& settings,
                                           std::string* why);

  // Abandons the video unless finish() was called: nothing appears at `out`, and no temporary
  // file is left anywhere.
  ~VideoWriter();
  VideoWriter(const VideoWriter&) = delete;
  VideoWriter& operator=(const VideoWriter&) = delete;

  // Queues one frame: width x height RGBA8 pixels, rows top-down, width * 4 bytes apart (alpha
  // is ignored). The frame is copied; encoding runs on the writer's own thread, so this waits
  // only while the encoder is four frames behind. False, with one line in `why`, once encoding
  // has failed (the same line finish() gives). A frame of another size is the caller's error.
  bool addFrame(std::span<const uint8_t> rgba, std::string* why);

  // Encodes what is still queued, flushes the encoder (and for a GIF, builds the palette and
  // encodes every frame only now), then writes the file with WriteFileWhole. `progress`, when
  // given, is called on this thread with the frames in the file so far and the frames given.
  // False, with one line in `why` and nothing at `out`, when there were no frames, encoding
  // failed, or the file cannot be written. Called at most once.
  bool finish(std::string* why, const std::function<void(int done, int total)>& progress = {});

  // Frames encoded into the file so far; a GIF's are all encoded within finish(). Any thread.
  int framesWritten() const;
  // The video's size: the settings' size, rounded down to even sides for 4:2:0.
  int width() const;
  int height() const;

 private:
  struct Impl;
  explicit VideoWriter(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};
