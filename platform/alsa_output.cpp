#include "platform/alsa_output.h"

#include <alsa/asoundlib.h>

AlsaOutput::~AlsaOutput() {
  if (pcm_ != nullptr) snd_pcm_close(pcm_);
}

namespace {

// ALSA's library prints its own diagnostics; the caller reports the one line that matters.
void quietAlsa(const char*, int, const char*, int, const char*, ...) {}

}  // namespace

bool AlsaOutput::open(std::string* error) {
  snd_lib_error_set_handler(quietAlsa);
  int result = snd_pcm_open(&pcm_, "default", SND_PCM_STREAM_PLAYBACK, SND_PCM_NONBLOCK);
  if (result < 0) {
    pcm_ = nullptr;
    if (error) *error = std::string("no sound device: ") + snd_strerror(result);
    return false;
  }
  snd_pcm_hw_params_t* params = nullptr;
  snd_pcm_hw_params_malloc(&params);
  unsigned rate = 44100;
  if (snd_pcm_hw_params_any(pcm_, params) >= 0) {
    snd_pcm_hw_params_set_access(pcm_, params, SND_PCM_ACCESS_RW_INTERLEAVED);
    snd_pcm_hw_params_set_format(pcm_, params, SND_PCM_FORMAT_S16_LE);
    snd_pcm_hw_params_set_channels(pcm_, params, 2);
    snd_pcm_hw_params_set_rate_near(pcm_, params, &rate, nullptr);
    snd_pcm_hw_params(pcm_, params);
  }
  snd_pcm_hw_params_free(params);
  return true;
}
