#pragma once

// Helpers shared by the speech-service tests: PCM statistics, request
// builders, files and commands.

#include <cstdint>
#include <string>
#include <vector>

#include "RiffWave.h"
#include "ambrel/testing/TestSupport.h"
#include "google/cloud/texttospeech/v1/cloud_tts.pb.h"

namespace VxTtsTest {

// The WAVE reader is the shared one (RiffWave.h).
using VxTts::ParseWave;
using VxTts::WaveInfo;

// Little-endian 16-bit samples from bytes[offset...].
std::vector<int16_t> Pcm16(const std::string& bytes, size_t offset = 0);
double Rms(const std::vector<int16_t>& pcm);
// Median fundamental frequency of voiced frames (autocorrelation), Hz.
double MedianPitchHz(const std::vector<int16_t>& pcm, int sample_rate);

google::cloud::texttospeech::v1::SynthesizeSpeechRequest MakeRequest(
    const std::string& text, const std::string& voice_name,
    google::cloud::texttospeech::v1::AudioEncoding encoding, int sample_rate);

// Scratch folders and waits are the framework's (ambrel/testing).
using Ambrel::Testing::ScratchDir;
using Ambrel::Testing::WaitFor;

bool WriteFile(const std::string& path, const std::string& content);
std::string ReadFile(const std::string& path);
// Runs a shell command quietly; returns its exit status (-1 if it did not exit).
int Run(const std::string& command);

}  // namespace VxTtsTest
