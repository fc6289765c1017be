// MRCPv2 messages as text, as the host kit reads them from a control
// connection: the start line, every header grammar and the body; and a
// SPEAK read that way, resolved by the channel into its parameters.
//
// The input is the message text. Properties: a refused message says why;
// what is read, written and read again is written as the same text; the
// prosody a SPEAK resolves to is sent within the service's ranges.
#include <string>

#include "Channel.h"
#include "FuzzSupport.h"
#include "ProsodyCheck.h"
#include "vxhost/MrcpText.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  vxfuzz::Process::Get();
  vxfuzz::InputPool pool;
  const std::string text(reinterpret_cast<const char*>(data), size);
  mrcp_message_t* message = nullptr;
  std::string error;
  if (!vxhost::ParseMrcpMessage(text, pool.Get(), &message, &error)) {
    VXFUZZ_CHECK(!error.empty(), "a refused message says why");
    return 0;
  }
  VXFUZZ_CHECK(message != nullptr, "a message read is there");
  const std::string written = vxhost::GenerateMrcpMessage(message);
  mrcp_message_t* again = nullptr;
  if (!vxhost::ParseMrcpMessage(written, pool.Get(), &again, &error)) {
    std::fprintf(stderr, "written: %s\nerror: %s\n", written.c_str(), error.c_str());
    VXFUZZ_CHECK(false, "what the kit writes it reads back");
  }
  const std::string rewritten = vxhost::GenerateMrcpMessage(again);
  if (rewritten != written) {
    std::fprintf(stderr, "written:\n%s\nrewritten:\n%s\n", written.c_str(), rewritten.c_str());
    VXFUZZ_CHECK(false, "writing what was read is a fixed point");
  }

  if (message->start_line.message_type == MRCP_MESSAGE_TYPE_REQUEST &&
      message->start_line.method_id == SYNTHESIZER_SPEAK) {
    VXS::Channel channel(nullptr);
    VXS::SynthSettings settings;
    if (channel.DetermineParams(message, settings) == MRCP_STATUS_CODE_SUCCESS) {
      vxfuzz::CheckProsodySent(channel.GetDetails().m_Params.m_Prosody);
    }
  }
  return 0;
}
