#pragma once

#include <jack/types.h>

#include "audio/audio_system.h"

namespace quilltap {

/// The audio system on JACK (jackd or PipeWire's JACK).
///
/// Only a server that already runs counts: the recorder never starts one, and
/// libjack's own choice of server (JACK_DEFAULT_SERVER) is respected. A device
/// is a JACK client, other than the recorder's own, that owns at least one
/// audio output port; its uid is the client name, its name the client's pretty
/// name where one is set, its channel n the n-th of its audio output ports in
/// the server's listing order.
class JackAudioSystem : public AudioSystem {
 public:
  JackAudioSystem();
  ~JackAudioSystem() override;
  std::vector<InputDevice> inputDevices() override;
  std::unique_ptr<AudioEngine> makeEngine() override;

 private:
  // The client that listed the devices before the first engine, handed on
  // to it: opening a JACK client costs what seconds of recording do.
  jack_client_t* spare_ = nullptr;
  bool engineMade_ = false;
};

}  // namespace quilltap
