// vexora check: the module reads a host tree's configuration and opens and
// closes its engine, without speaking; what it took, warned about and
// resolved is told from its log lines.

#include <apr_xml.h>
#include <grpcpp/grpcpp.h>

#include <algorithm>
#include <filesystem>
#include <iostream>
#include <map>
#include <mutex>
#include <set>
#include <vector>

#include "Commands.h"
#include "HostSession.h"
#include "google/cloud/texttospeech/v1/cloud_tts.grpc.pb.h"
#include "vxhost/AprGuard.h"
#include "vxhost/HostKit.h"

namespace VxCli {
namespace {

namespace fs = std::filesystem;
namespace tts = google::cloud::texttospeech::v1;

// The message of a formatted log line ("date time [PRIO] [SOURCE] message").
std::string MessageOf(const std::string& line) {
  size_t at = 0;
  for (int brackets = 0; brackets < 2; ++brackets) {
    at = line.find("] ", at);
    if (at == std::string::npos) return line;
    at += 2;
  }
  return line.substr(at);
}

bool StartsWith(const std::string& text, const std::string& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

// The text between "[" and "]" after `prefix`, or after it to the end.
std::string Argument(const std::string& message, const std::string& prefix) {
  std::string rest = message.substr(prefix.size());
  if (!rest.empty() && rest.front() == '[') {
    const size_t close = rest.find(']');
    return rest.substr(1, close == std::string::npos ? std::string::npos : close - 1);
  }
  return rest;
}

// The module's lines that name a path it resolved, with what the path is;
// the path is the line's text after the prefix, up to " pattern" if any.
const std::pair<const char*, const char*> kPathLines[] = {
    {"Open Config File ", "configuration"},
    {"Determined Credentials File ", "credentials file"},
    {"Set Defualt Google App Credentials ", "credentials file"},
    {"Set SSL Roots ", "SSL roots"},
    {"Populate files from ", "folder"},
    {"Update usage ", "status file"},
    {"Dump channels ", "status file"},
};

struct Setting {
  std::string element;
  std::string name;
  std::string value;
};

// Attributes of the document's elements, for those the module does not
// echo when it loads them; empty when the document does not read.
std::vector<Setting> DocumentSettings(const std::string& path) {
  std::vector<Setting> settings;
  const vxhost::ScratchPool scratch;  // the file opened in it is closed with it
  apr_pool_t* const pool = scratch.get();
  if (!pool) return settings;
  apr_file_t* file = nullptr;
  apr_xml_parser* parser = nullptr;
  apr_xml_doc* doc = nullptr;
  if (apr_file_open(&file, path.c_str(), APR_FOPEN_READ, APR_OS_DEFAULT, pool) == APR_SUCCESS &&
      apr_xml_parse_file(pool, &parser, &doc, file, 4096) == APR_SUCCESS && doc && doc->root) {
    std::vector<const apr_xml_elem*> stack = {doc->root};
    while (!stack.empty()) {
      const apr_xml_elem* elem = stack.back();
      stack.pop_back();
      for (const apr_xml_attr* attr = elem->attr; attr; attr = attr->next) {
        settings.push_back({elem->name, attr->name, attr->value ? attr->value : ""});
      }
      std::vector<const apr_xml_elem*> children;
      for (const apr_xml_elem* child = elem->first_child; child; child = child->next) {
        children.push_back(child);
      }
      stack.insert(stack.end(), children.rbegin(), children.rend());
    }
  }
  return settings;
}

// Calls ListVoices at the configured endpoint with the configured transport
// (the module has put the key file and the roots in the environment the
// library reads).
bool AskService(const std::string& target, bool secure, std::chrono::milliseconds timeout,
                std::string* report) {
  std::shared_ptr<grpc::ChannelCredentials> credentials =
      secure ? grpc::GoogleDefaultCredentials() : grpc::InsecureChannelCredentials();
  if (!credentials) {
    *report = "cannot make the configured credentials";
    return false;
  }
  auto stub = tts::TextToSpeech::NewStub(grpc::CreateChannel(target, credentials));
  grpc::ClientContext context;
  context.set_deadline(std::chrono::system_clock::now() + timeout);
  tts::ListVoicesRequest request;
  tts::ListVoicesResponse response;
  const grpc::Status status = stub->ListVoices(&context, request, &response);
  if (!status.ok()) {
    *report = "ListVoices at " + target + " failed: " + status.error_message() + " (code " +
              std::to_string(static_cast<int>(status.error_code())) + ")";
    return false;
  }
  *report =
      "ListVoices at " + target + " answered " + std::to_string(response.voices_size()) + " voices";
  return true;
}

}  // namespace

int Check(const CheckOptions& options) {
  // APR for the reading of the document, which outlives the kit's own.
  const vxhost::AprScope apr;
  std::string error;
  if (!CheckRootTree(options.host.root_dir, &error)) return UsageError("check", error);
  const std::string root = fs::absolute(options.host.root_dir).lexically_normal().string();
  const std::string document = (fs::path(root) / "conf" / "vexora.xml").string();

  std::mutex mutex;
  std::vector<std::pair<apt_log_priority_e, std::string>> lines;
  bool opened = false;
  bool answered = false;
  {
    vxhost::HostKit::Options kit_options;
    kit_options.root_dir = root;
    kit_options.log_priority = options.host.log_priority;
    // The report gives every warning; the raw log only when asked for.
    kit_options.log_stream = options.host.log_priority != APT_PRIO_WARNING ? stderr : nullptr;
    kit_options.shutdown_timeout = std::min(options.host.timeout, std::chrono::milliseconds(5000));
    vxhost::HostKit kit(kit_options);
    vxhost::LogCapture capture(
        [&](apt_log_priority_e priority, const std::string& line) {
          std::lock_guard<std::mutex> lock(mutex);
          lines.emplace_back(priority, line);
        },
        APT_PRIO_DEBUG);
    if (!kit.ok()) return Failed("cannot make the host directories under " + root);
    if (!kit.LoadModule(options.host.module_path, &error)) {
      return Failed("cannot load the module " + options.host.module_path + ": " + error);
    }
    answered = kit.OpenEngine(options.host.timeout, &opened);
    if (opened) kit.CloseEngine(options.host.timeout);
    kit.UnloadModule();
    capture.Stop();
  }

  std::cout << "vexora check: host tree " << root << "\n";
  std::cout << "configuration " << document << "\n";
  std::vector<Setting> settings;
  std::vector<std::string> warnings;
  std::vector<std::string> paths;
  std::vector<Setting> document_settings = DocumentSettings(document);
  std::vector<bool> consumed(document_settings.size(), false);
  std::string element = "vexora";
  std::string service_uri;
  bool secure = true;
  for (const auto& entry : lines) {
    const std::string message = MessageOf(entry.second);
    if (entry.first <= APT_PRIO_WARNING) warnings.push_back(message);
    if (StartsWith(message, "Loading Element ")) {
      element = message.substr(16);
      continue;
    }
    const size_t marker = message.find(" Attribute: ");
    if (StartsWith(message, "Load ") && marker != std::string::npos) {
      const std::string rest = message.substr(marker + 12);
      const size_t equals = rest.find(" = ");
      Setting setting{element, rest.substr(0, equals),
                      equals == std::string::npos ? "" : rest.substr(equals + 3)};
      // The document names the element (a nested one, too) of the value.
      for (size_t i = 0; i < document_settings.size(); ++i) {
        if (!consumed[i] && document_settings[i].name == setting.name &&
            document_settings[i].value == setting.value) {
          consumed[i] = true;
          setting.element = document_settings[i].element;
          break;
        }
      }
      if (setting.element == "synth-settings" && setting.name == "service-uri") {
        service_uri = setting.value;
      }
      if (setting.element == "synth-settings" && setting.name == "secure-transport") {
        secure = setting.value != "false" && setting.value != "0";
      }
      settings.push_back(setting);
      continue;
    }
    for (const auto& kind : kPathLines) {
      if (!StartsWith(message, kind.first)) continue;
      std::string path = Argument(message, kind.first);
      const size_t pattern = path.find(" pattern");
      if (pattern != std::string::npos) path.erase(pattern);
      const std::string line = std::string(kind.second) + " " + path;
      if (std::find(paths.begin(), paths.end(), line) == paths.end()) paths.push_back(line);
    }
  }
  // What the document gives that the module did not echo while loading.
  std::vector<Setting> quiet;
  for (size_t i = 0; i < document_settings.size(); ++i) {
    if (!consumed[i]) quiet.push_back(document_settings[i]);
  }

  std::cout << "settings taken by the module (from " << document << "; every other setting "
            << "keeps the module's default):\n";
  for (const Setting& setting : settings) {
    std::cout << "  " << setting.element << " " << setting.name << " = \"" << setting.value
              << "\"\n";
  }
  for (const Setting& setting : quiet) {
    std::cout << "  " << setting.element << " " << setting.name << " = \"" << setting.value
              << "\" (in the document; the module did not say it took it)\n";
  }
  if (settings.empty() && quiet.empty()) std::cout << "  (none)\n";
  std::cout << "paths:\n";
  for (const char* dir : {"conf", "data", "var", "log"}) {
    std::cout << "  " << dir << " " << (fs::path(root) / dir).string() << "\n";
  }
  for (const std::string& path : paths) std::cout << "  " << path << "\n";
  std::cout << "warnings: " << warnings.size() << "\n";
  for (const std::string& warning : warnings) std::cout << "  " << warning << "\n";

  int status = kExitOk;
  if (!answered) {
    std::cout << "engine: no answer to its open within the time-out\n";
    status = kExitFailed;
  } else if (!opened) {
    std::cout << "engine: refused to open\n";
    status = kExitFailed;
  } else {
    std::cout << "engine: opened and closed\n";
  }
  if (options.service && status == kExitOk) {
    std::string report;
    if (service_uri.empty()) {
      report = "the configuration names no service-uri; --service asks only an endpoint it names";
      status = kExitFailed;
    } else if (!AskService(service_uri, secure, options.host.timeout, &report)) {
      status = kExitFailed;
    }
    std::cout << "service: " << report << "\n";
  }
  std::cout << std::flush;
  return status;
}

}  // namespace VxCli
