// "vexora.xml", the engine's configuration document, as the engine reads it
// when the host opens it: the file fed to the parser line by line, the
// root's attributes, every element's loader and the validation of the
// paths it names against the host's directory layout.
//
// The input is the document, read from a host tree in the scratch folder
// whose data folder holds a key file. Properties: a document that loads has
// made its folders absolute, and its prosody defaults are sent within the
// service's ranges.
#include <filesystem>
#include <string>

#include "Engine.h"
#include "FuzzSupport.h"
#include "ProsodyCheck.h"

namespace {

namespace fs = std::filesystem;

struct HostTree {
  HostTree() {
    root = (fs::path(vxfuzz::Process::Get().Scratch()) / "host").string();
    for (const char* dir : {"conf", "data", "var/status"}) fs::create_directories(fs::path(root) / dir);
    const std::string key = "{}";
    VXFUZZ_CHECK(vxfuzz::WriteWholeFile(root + "/data/key.json",
                                        reinterpret_cast<const uint8_t*>(key.data()), key.size()),
                 "the key file is written");
    layout = apt_default_dir_layout_create(root.c_str(), vxfuzz::Process::Get().Pool());
  }
  std::string root;
  apt_dir_layout_t* layout = nullptr;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static HostTree* tree = new HostTree();  // lives until exit
  VXFUZZ_CHECK(vxfuzz::WriteWholeFile(tree->root + "/conf/vexora.xml", data, size),
               "the document is written");
  vxfuzz::InputPool pool;
  VXS::Engine engine("VXS");
  if (!engine.LoadConfig("vexora.xml", "vexora", tree->layout, pool.Get())) return 0;
  VXFUZZ_CHECK(!VXS::Engine::IsRelativePath(engine.GetWaveformManagerSettings().m_WaveformFolder,
                                            pool.Get()),
               "the waveform folder is absolute");
  VXFUZZ_CHECK(!VXS::Engine::IsRelativePath(engine.GetSdrManagerSettings().m_RecordFolder,
                                            pool.Get()),
               "the record folder is absolute");
  vxfuzz::CheckProsodySent(engine.GetSynthSettings().m_Prosody);
  return 0;
}
