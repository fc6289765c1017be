// Local URIs of a URI list: file:// paths decoded from their escapes and
// "localhost", and http(s):// URIs under the waveform base URI resolved to a
// file of the waveform folder through every symbolic link.
//
// The folder is a fixed tree in the scratch folder, with links that stay
// inside it, links that leave it (absolute, relative, through a linked
// folder, chained), a link to the folder itself, a loop and a dangling
// link. Properties: a resolved path names a file of the waveform folder
// (absolute, so that it never depends on where the process works), a file
// that exists there lies inside the folder once its links are followed, and
// what it names plays or is refused without harm; a decoded file path,
// escaped again, decodes to itself.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "Channel.h"
#include "FuzzSupport.h"
#include "PromptAudio.h"
#include "SynthContent.h"

namespace {

namespace fs = std::filesystem;

const char kBaseUri[] = "http://localhost/utterances";
const size_t kMaxSegments = 16;

// A WAVE file of 8 kHz 16-bit mono holding `bytes` bytes of audio.
std::string Wave(size_t bytes, char sample) {
  auto le32 = [](uint32_t v) {
    return std::string{static_cast<char>(v), static_cast<char>(v >> 8),
                       static_cast<char>(v >> 16), static_cast<char>(v >> 24)};
  };
  return "RIFF" + le32(static_cast<uint32_t>(36 + bytes)) + "WAVEfmt " +
         std::string("\x10\0\0\0\x01\0\x01\0\x40\x1f\0\0\x80\x3e\0\0\x02\0\x10\0", 20) +
         "data" + le32(static_cast<uint32_t>(bytes)) + std::string(bytes, sample);
}

void Write(const fs::path& path, const std::string& content) {
  fs::create_directories(path.parent_path());
  const bool ok = vxfuzz::WriteWholeFile(
      path.string(), reinterpret_cast<const uint8_t*>(content.data()), content.size());
  VXFUZZ_CHECK(ok, "the fixed tree is written");
}

void Link(const fs::path& target, const fs::path& link) {
  VXFUZZ_CHECK(symlink(target.c_str(), link.c_str()) == 0, "the fixed tree is linked");
}

// The waveform folder (canonical) of the fixed tree, made on first use.
const std::string& Folder() {
  static const std::string folder = [] {
    const fs::path root = fs::path(vxfuzz::Process::Get().Scratch()) / "uri";
    const fs::path waves = root / "waves";
    const fs::path outside = root / "outside";
    Write(waves / "inside.wav", Wave(64, '\x11'));
    Write(waves / "my prompt.wav", Wave(32, '\x12'));
    Write(waves / "sub" / "deep.wav", Wave(16, '\x13'));
    Write(waves / "not-a-wave.wav", "RIFF....WAVEjunk");
    Write(outside / "secret.wav", Wave(96, '\x22'));
    Link("inside.wav", waves / "alias.wav");
    Link("../inside.wav", waves / "sub" / "up.wav");
    Link(outside / "secret.wav", waves / "absolute.wav");
    Link("../outside/secret.wav", waves / "relative.wav");
    Link(outside, waves / "linked-dir");
    Link("relative.wav", waves / "chained.wav");
    Link(".", waves / "self");
    Link("loop-b", waves / "loop-a");
    Link("loop-a", waves / "loop-b");
    Link("missing.wav", waves / "dangling.wav");
    return fs::canonical(waves).string();
  }();
  return folder;
}

bool IsInside(const std::string& folder, const fs::path& file) {
  const fs::path base(folder);
  auto mismatch = std::mismatch(base.begin(), base.end(), file.begin(), file.end());
  return mismatch.first == base.end();
}

std::string Escape(const std::string& path) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : path) {
    out += '%';
    out += kHex[c >> 4];
    out += kHex[c & 0x0F];
  }
  return out;
}

void CheckHttp(const std::string& uri, apr_pool_t* pool) {
  const std::string& folder = Folder();
  std::string path;
  const bool resolved = VXS::Channel::ResolveLocalUri(kBaseUri, folder, uri, path, pool);
  // The same under a base URI written with its closing '/'.
  std::string slashed;
  if (VXS::Channel::ResolveLocalUri(std::string(kBaseUri) + "/", folder, uri, slashed, pool)) {
    VXFUZZ_CHECK(resolved && slashed == path, "a base URI with its closing '/' names the same");
  } else {
    VXFUZZ_CHECK(!resolved, "a base URI with its closing '/' names the same");
  }
  if (resolved) {
    VXFUZZ_CHECK(uri.compare(0, sizeof(kBaseUri), std::string(kBaseUri) + "/") == 0,
                 "only a URI under the base URI names a file");
  }
  if (uri.find('\0') != std::string::npos) {
    VXFUZZ_CHECK(!resolved, "a URI holding a NUL byte names no file");
  }
  if (!resolved) return;
  VXFUZZ_CHECK(path.compare(0, folder.size() + 1, folder + "/") == 0,
               "a resolved path names a file of the waveform folder");
  struct stat info;
  if (stat(path.c_str(), &info) != 0) return;  // nothing opens behind it
  std::error_code error;
  const fs::path file = fs::canonical(path, error);
  VXFUZZ_CHECK(!error, "an existing resolved file has a canonical path");
  VXFUZZ_CHECK(IsInside(folder, file), "a resolved file lies inside the waveform folder");
  VXFUZZ_CHECK(file != fs::path(folder), "the folder itself is no file to play");
  std::vector<char> audio;
  VXS::PromptAudio::LoadFile(path, 8000, audio, pool);
}

void CheckFile(const std::string& path) {
  VXS::SpeakParams params;
  params.m_Content = "file://" + Escape(path);
  VXS::SynthContent again;
  again.ComposeUriListSegments(params);
  VXFUZZ_CHECK(again.size() == 1 && again.front().m_Content == path,
               "a decoded path escaped again decodes to itself");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  vxfuzz::Process::Get();
  Folder();
  vxfuzz::InputPool pool;
  VXS::SpeakParams params;
  params.m_Content.assign(reinterpret_cast<const char*>(data), size);
  params.m_ContentType = VXS::SYNTH_CONTENT_URI_LIST;
  VXS::SynthContent content;
  content.ComposeUriListSegments(params);
  // Each resolution walks the file system; a bound on the segments checked
  // keeps every input quick, and a long list adds nothing that the first
  // lines do not already reach.
  size_t checked = 0;
  for (const VXS::SynthSegment& segment : content) {
    if (++checked > kMaxSegments) break;
    if (segment.m_ContentType == VXS::SYNTH_CONTENT_FILE_URI) {
      CheckFile(segment.m_Content);
    } else {
      CheckHttp(segment.m_Content, pool.Get());
    }
  }
  return 0;
}
