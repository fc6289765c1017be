// MRCPv2 text: reading and writing whole messages, header value grammars,
// and refusal of bad input.

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>

#include "vxhost/AprGuard.h"
#include "vxhost/MrcpText.h"

namespace {

using vxhost::Str;

// A SPEAK carrying every header the host parses.
const char kFullSpeakHead[] =
    "Channel-Identifier: 32AECB23433801@speechsynth\r\n"
    "Speech-Language: en-GB\r\n"
    "Voice-Name: en-GB-Standard-A\r\n"
    "Voice-Gender: female\r\n"
    "Prosody-Rate: 1.5\r\n"
    "Prosody-Volume: +6dB\r\n"
    "Prosody-Pitch: +2st\r\n"
    "Prosody-Contour: (0%,+20Hz) (10%,-2st)\r\n"
    "Prosody-Range: x-high\r\n"
    "Prosody-Duration: 2s\r\n"
    "Content-Type: application/ssml+xml; charset=UTF-8\r\n"
    "Logging-Tag: call-17\r\n"
    "Cache-Control: max-age=60, min-fresh=30\r\n"
    "Vendor-Specific-Parameters: voice-name=\"en-GB-Wavenet-B\";logging-tag=tag2;region=eu\r\n"
    "Completion-Cause: 000 normal\r\n"
    "Kill-On-Barge-In: false\r\n";

const char kBody[] = "<speak version=\"1.0\">Hello \xC3\xA9t\xC3\xA9</speak>";

std::string FullSpeak() {
  return std::string("MRCP/2.0 0 SPEAK 543257\r\n") + kFullSpeakHead +
         "Content-Length: " + std::to_string(sizeof(kBody) - 1) + "\r\n\r\n" + kBody;
}

class MrcpTextTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { apr_initialize(); }
  static void TearDownTestSuite() { apr_terminate(); }
  void SetUp() override { apr_pool_create(&m_Pool, nullptr); }
  void TearDown() override { apr_pool_destroy(m_Pool); }

  mrcp_message_t* Parse(const std::string& text) {
    mrcp_message_t* message = nullptr;
    std::string error;
    EXPECT_TRUE(vxhost::ParseMrcpMessage(text, m_Pool, &message, &error)) << error;
    return message;
  }

  // The error text of a refused message.
  std::string Refusal(const std::string& text) {
    mrcp_message_t* message = nullptr;
    std::string error;
    EXPECT_FALSE(vxhost::ParseMrcpMessage(text, m_Pool, &message, &error));
    EXPECT_EQ(nullptr, message);
    EXPECT_FALSE(error.empty());
    return error;
  }

  mrcp_message_t* WithHeader(const std::string& name, const std::string& value) {
    return Parse("MRCP/2.0 0 SPEAK 1\r\n" + name + ": " + value + "\r\n\r\n");
  }

  // Whatever the kit reads, it writes so that reading and writing again
  // gives the same text. False when `text` itself was refused.
  bool ExpectFixedPoint(const std::string& text) {
    mrcp_message_t* first = nullptr;
    std::string error;
    if (!vxhost::ParseMrcpMessage(text, m_Pool, &first, &error)) return false;
    const std::string written = vxhost::GenerateMrcpMessage(first);
    mrcp_message_t* second = nullptr;
    EXPECT_TRUE(vxhost::ParseMrcpMessage(written, m_Pool, &second, &error))
        << error << "\n" << written;
    if (second) {
      EXPECT_EQ(written, vxhost::GenerateMrcpMessage(second)) << text;
    }
    return true;
  }

  apr_pool_t* m_Pool = nullptr;
};

void ExpectFullSpeak(const mrcp_message_t* m) {
  ASSERT_NE(nullptr, m);
  EXPECT_EQ(MRCP_MESSAGE_TYPE_REQUEST, m->start_line.message_type);
  EXPECT_EQ(SYNTHESIZER_SPEAK, m->start_line.method_id);
  EXPECT_EQ(543257u, m->start_line.request_id);
  EXPECT_EQ("32AECB23433801@speechsynth", Str(m->channel_id));
  const mrcp_synth_header_t* s = m->synth_header;
  ASSERT_NE(nullptr, s);
  EXPECT_EQ("en-GB", Str(s->speech_language));
  EXPECT_EQ("en-GB-Standard-A", Str(s->voice_param.name));
  EXPECT_EQ(VOICE_GENDER_FEMALE, s->voice_param.gender);
  EXPECT_EQ(PROSODY_RATE_TYPE_RELATIVE_CHANGE, s->prosody_param.rate.type);
  EXPECT_FLOAT_EQ(150.0f, s->prosody_param.rate.value.relative);
  EXPECT_EQ(PROSODY_VOLUME_TYPE_RELATIVE_CHANGE, s->prosody_param.volume.type);
  EXPECT_FLOAT_EQ(6.0f, s->prosody_param.volume.value.relative);
  EXPECT_EQ("+2st", Str(s->prosody_param.pitch));
  EXPECT_EQ("(0%,+20Hz) (10%,-2st)", Str(s->prosody_param.contour));
  EXPECT_EQ("x-high", Str(s->prosody_param.range));
  EXPECT_EQ("2s", Str(s->prosody_param.duration));
  EXPECT_EQ(SYNTHESIZER_COMPLETION_CAUSE_NORMAL, s->completion_cause);
  EXPECT_FALSE(s->kill_on_barge_in);
  for (int id : {SYNTHESIZER_HEADER_SPEECH_LANGUAGE, SYNTHESIZER_HEADER_VOICE_NAME,
                 SYNTHESIZER_HEADER_VOICE_GENDER, SYNTHESIZER_HEADER_PROSODY_RATE,
                 SYNTHESIZER_HEADER_PROSODY_VOLUME, SYNTHESIZER_HEADER_PROSODY_PITCH,
                 SYNTHESIZER_HEADER_PROSODY_CONTOUR, SYNTHESIZER_HEADER_PROSODY_RANGE,
                 SYNTHESIZER_HEADER_PROSODY_DURATION, SYNTHESIZER_HEADER_COMPLETION_CAUSE,
                 SYNTHESIZER_HEADER_KILL_ON_BARGE_IN}) {
    EXPECT_TRUE(mrcp_resource_header_property_check(m, id)) << "synthesizer header " << id;
  }
  EXPECT_FALSE(mrcp_resource_header_property_check(m, SYNTHESIZER_HEADER_VOICE_AGE));

  const mrcp_generic_header_t* g = m->generic_header;
  ASSERT_NE(nullptr, g);
  EXPECT_EQ("application/ssml+xml; charset=UTF-8", Str(g->content_type));
  EXPECT_EQ("call-17", Str(g->logging_tag));
  EXPECT_EQ("max-age=60, min-fresh=30", Str(g->cache_control));
  ASSERT_EQ(3, apt_pair_array_size_get(g->vendor_specific_params));
  EXPECT_EQ("voice-name", Str(apt_pair_array_get(g->vendor_specific_params, 0)->name));
  EXPECT_EQ("\"en-GB-Wavenet-B\"", Str(apt_pair_array_get(g->vendor_specific_params, 0)->value));
  EXPECT_EQ("eu", Str(apt_pair_array_get(g->vendor_specific_params, 2)->value));
  EXPECT_EQ(sizeof(kBody) - 1, g->content_length);
  EXPECT_EQ(kBody, Str(m->body));
  EXPECT_EQ('\0', m->body.buf[m->body.length]);
}

TEST_F(MrcpTextTest, SpeakWithEveryHeaderSurvivesARoundTrip) {
  const mrcp_message_t* first = Parse(FullSpeak());
  ExpectFullSpeak(first);
  const std::string written = vxhost::GenerateMrcpMessage(first);
  const mrcp_message_t* second = Parse(written);
  ExpectFullSpeak(second);
  EXPECT_EQ(written, vxhost::GenerateMrcpMessage(second));
  EXPECT_NE(std::string::npos, written.find("\r\nProsody-Rate: 150%\r\n"));
  EXPECT_NE(std::string::npos, written.find("\r\nCompletion-Cause: 000 normal\r\n"));
  EXPECT_EQ(0u, written.find("MRCP/2.0 " + std::to_string(written.size()) + " SPEAK 543257\r\n"));
}

TEST_F(MrcpTextTest, MessageLengthCountsItselfExactly) {
  // Bodies whose messages cross 100 and 1000 octets, where the length field
  // gains a digit.
  for (size_t body_size = 0; body_size < 1100; body_size += 7) {
    mrcp_message_t* event = Parse("MRCP/2.0 0 SPEAK-COMPLETE 9 COMPLETE\r\n\r\n");
    apt_string_assign(&event->body, std::string(body_size, 'a').c_str(), m_Pool);
    const std::string text = vxhost::GenerateMrcpMessage(event);
    const size_t length = std::stoul(text.substr(9, text.find(' ', 9) - 9));
    ASSERT_EQ(text.size(), length) << text.substr(0, 40);
  }
}

TEST_F(MrcpTextTest, ResponseAndEventStartLines) {
  const mrcp_message_t* response = Parse("MRCP/2.0 90 543257 200 IN-PROGRESS\r\n"
                                         "Channel-Identifier: 1@speechsynth\r\n\r\n");
  EXPECT_EQ(MRCP_MESSAGE_TYPE_RESPONSE, response->start_line.message_type);
  EXPECT_EQ(543257u, response->start_line.request_id);
  EXPECT_EQ(MRCP_STATUS_CODE_SUCCESS, response->start_line.status_code);
  EXPECT_EQ(MRCP_REQUEST_STATE_INPROGRESS, response->start_line.request_state);

  const mrcp_message_t* event = Parse("MRCP/2.0 0 SPEAK-COMPLETE 543257 COMPLETE\r\n"
                                      "Completion-Cause: 001 barge-in\r\n\r\n");
  EXPECT_EQ(MRCP_MESSAGE_TYPE_EVENT, event->start_line.message_type);
  EXPECT_EQ(SYNTHESIZER_SPEAK_COMPLETE, event->start_line.method_id);
  EXPECT_EQ(SYNTHESIZER_COMPLETION_CAUSE_BARGE_IN, event->synth_header->completion_cause);
  const std::string written = vxhost::GenerateMrcpMessage(event);
  EXPECT_NE(std::string::npos, written.find(" SPEAK-COMPLETE 543257 COMPLETE\r\n"));

  const mrcp_message_t* unknown = Parse("MRCP/2.0 0 RECOGNIZE 3\r\n\r\n");
  EXPECT_EQ(SYNTHESIZER_METHOD_COUNT, unknown->start_line.method_id);
  EXPECT_EQ("RECOGNIZE", Str(unknown->start_line.method_name));
}

TEST_F(MrcpTextTest, HandWrittenMessagesAreRead) {
  // LF line ends, any header case, folded value, unknown header, no
  // Content-Length: the body is the rest of the text.
  const mrcp_message_t* m = Parse(
      "MRCP/2.0 0 SPEAK 0\n"
      "voice-NAME:   Kate  \n"
      "X-Unknown-Header: whatever\n"
      "Logging-Tag: part one\n"
      "\tpart two\n"
      "content-type: text/plain\n"
      "\n"
      "Hello there\n");
  EXPECT_EQ(0u, m->start_line.request_id);
  EXPECT_EQ("Kate", Str(m->synth_header->voice_param.name));
  EXPECT_EQ("part one part two", Str(m->generic_header->logging_tag));
  EXPECT_EQ("Hello there\n", Str(m->body));
  EXPECT_EQ(12u, m->generic_header->content_length);

  // A counted body may be followed by line ends only.
  const mrcp_message_t* counted =
      Parse("MRCP/2.0 0 SPEAK 1\r\nContent-Length: 2\r\n\r\nHi\r\n\r\n");
  EXPECT_EQ("Hi", Str(counted->body));
  // No empty line at all: no body.
  EXPECT_EQ(0u, Parse("MRCP/2.0 0 STOP 2\r\nChannel-Identifier: a@b")->body.length);
}

TEST_F(MrcpTextTest, ProsodyRateGrammar) {
  struct Case {
    const char* text;
    mrcp_prosody_rate_type_e type;
    float value;
  } cases[] = {
      {"x-slow", PROSODY_RATE_TYPE_LABEL, PROSODY_RATE_XSLOW},
      {"FAST", PROSODY_RATE_TYPE_LABEL, PROSODY_RATE_FAST},
      {"default", PROSODY_RATE_TYPE_LABEL, PROSODY_RATE_DEFAULT},
      {"150%", PROSODY_RATE_TYPE_RELATIVE_CHANGE, 150},
      {"1.5", PROSODY_RATE_TYPE_RELATIVE_CHANGE, 150},
      {"0.25", PROSODY_RATE_TYPE_RELATIVE_CHANGE, 25},
      {"2", PROSODY_RATE_TYPE_RELATIVE_CHANGE, 200},
      {"12.5%", PROSODY_RATE_TYPE_RELATIVE_CHANGE, 12.5},
  };
  for (const Case& c : cases) {
    mrcp_prosody_rate_t rate;
    ASSERT_TRUE(vxhost::ParseProsodyRate(c.text, &rate)) << c.text;
    EXPECT_EQ(c.type, rate.type) << c.text;
    if (c.type == PROSODY_RATE_TYPE_LABEL) {
      EXPECT_EQ(static_cast<int>(c.value), rate.value.label) << c.text;
    } else {
      EXPECT_FLOAT_EQ(c.value, rate.value.relative) << c.text;
    }
  }
  for (const char* bad : {"", "%", "+10%", "-1", "1.5.2", "quick", "1e3", "1,5", "10 %"}) {
    mrcp_prosody_rate_t rate;
    EXPECT_FALSE(vxhost::ParseProsodyRate(bad, &rate)) << bad;
  }
}

TEST_F(MrcpTextTest, ProsodyVolumeGrammar) {
  struct Case {
    const char* text;
    mrcp_prosody_volume_type_e type;
    float value;
  } cases[] = {
      {"silent", PROSODY_VOLUME_TYPE_LABEL, PROSODY_VOLUME_SILENT},
      {"X-Loud", PROSODY_VOLUME_TYPE_LABEL, PROSODY_VOLUME_XLOUD},
      {"+6dB", PROSODY_VOLUME_TYPE_RELATIVE_CHANGE, 6},
      {"-3dB", PROSODY_VOLUME_TYPE_RELATIVE_CHANGE, -3},
      {"-4.5", PROSODY_VOLUME_TYPE_RELATIVE_CHANGE, -4.5},
      {"50%", PROSODY_VOLUME_TYPE_RELATIVE_CHANGE, 50},
      {"+10%", PROSODY_VOLUME_TYPE_RELATIVE_CHANGE, 10},
      {"40", PROSODY_VOLUME_TYPE_NUMERIC, 40},
      {"12dB", PROSODY_VOLUME_TYPE_NUMERIC, 12},
      {"0.5db", PROSODY_VOLUME_TYPE_NUMERIC, 0.5},
  };
  for (const Case& c : cases) {
    mrcp_prosody_volume_t volume;
    ASSERT_TRUE(vxhost::ParseProsodyVolume(c.text, &volume)) << c.text;
    EXPECT_EQ(c.type, volume.type) << c.text;
    if (c.type == PROSODY_VOLUME_TYPE_LABEL) {
      EXPECT_EQ(static_cast<int>(c.value), volume.value.label) << c.text;
    } else {
      EXPECT_FLOAT_EQ(c.value, volume.value.numeric) << c.text;
    }
  }
  for (const char* bad : {"", "dB", "+", "loudest", "6 dB", "--3dB", "5dB%"}) {
    mrcp_prosody_volume_t volume;
    EXPECT_FALSE(vxhost::ParseProsodyVolume(bad, &volume)) << bad;
  }
}

// Numbers are written in the fixed-point form the reader takes, never with
// an exponent, and read back to the very same value.
TEST_F(MrcpTextTest, NumbersAreWrittenAsFixedPointThatReadsBack) {
  const std::pair<std::string, std::string> cases[] = {
      {"Prosody-Rate: 0.0000001", "Prosody-Rate: 0.00001%"},
      {"Prosody-Rate: 9999999999999", "Prosody-Rate: 999999986991104%"},
      {"Prosody-Rate: 1.2345678901234", "Prosody-Rate: 123.45679%"},
      {"Prosody-Rate: 0.0000000000001%", "Prosody-Rate: 0.0000000000001%"},
      {"Prosody-Volume: 1234567", "Prosody-Volume: 1234567dB"},
      {"Prosody-Volume: -0", "Prosody-Volume: -0dB"},
      {"Prosody-Volume: +0%", "Prosody-Volume: +0dB"},
      {"Prosody-Volume: 12.3456789012%", "Prosody-Volume: +12.345679dB"},
      {"Prosody-Volume: +99999999999.99dB", "Prosody-Volume: +99999997952dB"},
  };
  for (const auto& c : cases) {
    const std::string text = "MRCP/2.0 0 SPEAK 1\r\n" + c.first + "\r\n\r\n";
    const std::string written = vxhost::GenerateMrcpMessage(Parse(text));
    EXPECT_NE(std::string::npos, written.find("\r\n" + c.second + "\r\n")) << written;
    EXPECT_TRUE(ExpectFixedPoint(text));
  }
  mrcp_message_t* m = WithHeader("Prosody-Volume", "-0");
  EXPECT_TRUE(std::signbit(m->synth_header->prosody_param.volume.value.relative));
  // A multiplier whose percentage needs more than 15 characters is refused:
  // it could not be written back.
  Refusal("MRCP/2.0 0 SPEAK 1\r\nProsody-Rate: 999999999999999\r\n\r\n");
  // Values set through the API that the grammar cannot carry are left out.
  m = WithHeader("Prosody-Rate", "1");
  m->synth_header->prosody_param.rate.value.relative = 1e30f;
  EXPECT_EQ(std::string::npos, vxhost::GenerateMrcpMessage(m).find("Prosody-Rate"));
  m->synth_header->prosody_param.rate.value.relative = -5;
  EXPECT_EQ(std::string::npos, vxhost::GenerateMrcpMessage(m).find("Prosody-Rate"));
  m->synth_header->prosody_param.rate.value.relative = NAN;
  EXPECT_EQ(std::string::npos, vxhost::GenerateMrcpMessage(m).find("Prosody-Rate"));
}

TEST_F(MrcpTextTest, VendorPairsAreWrittenSoThatTheyReadBack) {
  const std::string text =
      "MRCP/2.0 0 SPEAK 1\r\nVendor-Specific-Parameters: a=1;=;b=2;=x; k=;flag\r\n\r\n";
  const std::string written = vxhost::GenerateMrcpMessage(Parse(text));
  EXPECT_NE(std::string::npos,
            written.find("\r\nVendor-Specific-Parameters: a=1;=;b=2;=x;k;flag\r\n"))
      << written;
  const apt_pair_arr_t* pairs = Parse(written)->generic_header->vendor_specific_params;
  ASSERT_EQ(6, apt_pair_array_size_get(pairs));
  EXPECT_EQ("", Str(apt_pair_array_get(pairs, 1)->name));
  EXPECT_EQ("", Str(apt_pair_array_get(pairs, 1)->value));
  EXPECT_EQ("2", Str(apt_pair_array_get(pairs, 2)->value));
  EXPECT_TRUE(ExpectFixedPoint(text));
  // Blanks that would end the line are not written: they would not come back.
  for (const char* last : {"a=1;k=\t;;", "x;0 =; ", "a;=\t;"}) {
    const std::string message =
        std::string("MRCP/2.0 0 SPEAK 1\r\nVendor-Specific-Parameters: ") + last + "\r\n\r\n";
    EXPECT_TRUE(ExpectFixedPoint(message)) << last;
  }
}

// The hostile messages the MRCP fuzzer starts from, and numbers of every
// length and form the grammar allows.
TEST_F(MrcpTextTest, WritingWhatWasReadIsAFixedPoint) {
  size_t accepted = 0;
  const std::filesystem::path corpus =
      std::filesystem::path(VX_SOURCE_DIR) / "fuzz" / "corpus" / "mrcp";
  for (const auto& entry : std::filesystem::directory_iterator(corpus)) {
    std::ifstream file(entry.path(), std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    if (ExpectFixedPoint(text.str())) ++accepted;
  }
  EXPECT_GE(accepted, 11u);

  std::mt19937 random(6787);
  // Prefix and suffix of each form of number.
  const std::pair<const char*, const char*> rate_forms[] = {{"", ""}, {"", "%"}};
  const std::pair<const char*, const char*> volume_forms[] = {
      {"", ""}, {"", "dB"}, {"+", ""}, {"-", ""}, {"+", "dB"}, {"-", "dB"}, {"", "%"}};
  for (int round = 0; round < 20000; ++round) {
    std::string number;
    const size_t length = 1 + random() % 15;
    const size_t point = random() % (length + 3);  // no point when beyond the length
    for (size_t i = 0; i < length; ++i) number += i == point ? '.' : "0123456789"[random() % 10];
    if (number == ".") number = "0";
    const bool rate = round % 2 == 0;
    const auto& form = rate ? rate_forms[random() % 2] : volume_forms[random() % 7];
    const std::string text = std::string("MRCP/2.0 0 SPEAK 1\r\n") +
                             (rate ? "Prosody-Rate: " : "Prosody-Volume: ") + form.first +
                             number + form.second + "\r\n\r\n";
    ExpectFixedPoint(text);
    if (::testing::Test::HasFailure()) {
      ADD_FAILURE() << text;
      break;
    }
  }
}

TEST_F(MrcpTextTest, ProsodyValuesAreWrittenBackReadably) {
  mrcp_message_t* m = WithHeader("Prosody-Volume", "-3dB");
  vxhost::SetMrcpHeader(m, "Prosody-Rate", "x-fast", nullptr);
  std::string text = vxhost::GenerateMrcpMessage(m);
  EXPECT_NE(std::string::npos, text.find("Prosody-Volume: -3dB\r\n"));
  EXPECT_NE(std::string::npos, text.find("Prosody-Rate: x-fast\r\n"));

  m->synth_header->prosody_param.volume.type = PROSODY_VOLUME_TYPE_NUMERIC;
  m->synth_header->prosody_param.volume.value.numeric = 16;
  m->synth_header->voice_param.gender = VOICE_GENDER_UNKNOWN;
  mrcp_resource_header_property_add(m, SYNTHESIZER_HEADER_VOICE_GENDER);
  text = vxhost::GenerateMrcpMessage(m);
  EXPECT_NE(std::string::npos, text.find("Prosody-Volume: 16dB\r\n"));
  EXPECT_EQ(std::string::npos, text.find("Voice-Gender"));  // no text form: left out
}

TEST_F(MrcpTextTest, BadHeaderValuesAreRefusedAndNamed) {
  EXPECT_NE(std::string::npos, Refusal("MRCP/2.0 0 SPEAK 1\r\nVoice-Gender: robot\r\n\r\n")
                                   .find("Voice-Gender"));
  for (const char* header : {"Kill-On-Barge-In: maybe", "Completion-Cause: 8 cancelled",
                             "Completion-Cause: 009 unknown", "Completion-Cause: 00x",
                             "Prosody-Rate: quick", "Prosody-Volume: ", "Content-Length: -1",
                             "Content-Length: 99999999999999999999", "Voice-Age: old",
                             "Fetch-Timeout: 1.5"}) {
    Refusal(std::string("MRCP/2.0 0 SPEAK 1\r\n") + header + "\r\n\r\n");
  }
  mrcp_message_t* m = Parse("MRCP/2.0 0 SPEAK 1\r\n\r\n");
  std::string error;
  EXPECT_FALSE(vxhost::SetMrcpHeader(m, "voice-gender", "robot", &error));
  EXPECT_FALSE(mrcp_resource_header_property_check(m, SYNTHESIZER_HEADER_VOICE_GENDER));
  EXPECT_TRUE(vxhost::SetMrcpHeader(m, "X-Anything", "goes", &error));
}

TEST_F(MrcpTextTest, MalformedMessagesAreRefused) {
  Refusal("");
  Refusal("\r\n\r\n");
  Refusal("HELLO WORLD");
  Refusal("MRCP/1.0 0 SPEAK 1\r\n\r\n");
  Refusal("MRCP/2.0 x SPEAK 1\r\n\r\n");
  Refusal("MRCP/2.0 0 SPEAK\r\n\r\n");
  Refusal("MRCP/2.0 0 SPEAK 12345678901\r\n\r\n");  // request-id of 11 digits
  Refusal("MRCP/2.0 0 SPEAK 1 2 3 4\r\n\r\n");
  Refusal("MRCP/2.0 0 5 200 DONE\r\n\r\n");
  Refusal("MRCP/2.0 0 5 20 COMPLETE\r\n\r\n");
  Refusal("MRCP/2.0 0 SPEAK 1\r\nNo colon here\r\n\r\n");
  Refusal("MRCP/2.0 0 SPEAK 1\r\n: no name\r\n\r\n");
  Refusal("MRCP/2.0 0 SPEAK 1\r\n folded first\r\n\r\n");
  Refusal("MRCP/2.0 0 SPEAK 1\r\nContent-Length: 10\r\n\r\nshort");
  Refusal("MRCP/2.0 0 SPEAK 1\r\nContent-Length: 2\r\n\r\nHi and more");
}

TEST_F(MrcpTextTest, HostileOctetsAreRefused) {
  const std::string head = "MRCP/2.0 0 SPEAK 1\r\nContent-Type: text/plain\r\n\r\n";
  EXPECT_NE(std::string::npos, Refusal(head + std::string("a\0b", 3)).find("NUL"));
  const char nul_in_start[] = "MRCP/2.0\0 0 SPEAK 1\r\n\r\n";
  EXPECT_NE(std::string::npos,
            Refusal(std::string(nul_in_start, sizeof(nul_in_start) - 1)).find("NUL"));
  for (const char* bad : {"\xC3", "\xC0\xAF", "\x80", "\xED\xA0\x80", "\xF4\x90\x80\x80",
                          "\xE2\x82", "\xFF"}) {
    EXPECT_NE(std::string::npos, Refusal(head + "ok " + bad).find("UTF-8")) << head + bad;
  }
  EXPECT_NE(std::string::npos, Refusal(head + std::string(1024 * 1024, 'a')).find("exceeds"));
  // The largest message accepted is read whole and written back as it came.
  const size_t limit = vxhost::kMaxMrcpMessageSize;
  auto exact_head = [limit](size_t body) {
    return "MRCP/2.0 " + std::to_string(limit) +
           " SPEAK 1\r\nContent-Type: text/plain\r\nContent-Length: " + std::to_string(body) +
           "\r\n\r\n";
  };
  const size_t body = limit - exact_head(limit).size();
  const std::string big = exact_head(body) + std::string(body, 'a');
  ASSERT_EQ(limit, big.size());
  const mrcp_message_t* read = Parse(big);
  ASSERT_NE(nullptr, read);
  EXPECT_EQ(body, read->body.length);
  EXPECT_EQ(big, vxhost::GenerateMrcpMessage(read));
  // One that only its written form takes past the limit (the writer adds
  // Content-Length) could not be read again, so it is refused.
  const std::string grows = head + std::string(limit - head.size(), 'a');
  EXPECT_NE(std::string::npos, Refusal(grows).find("once written exceeds")) << Refusal(grows);
}

TEST_F(MrcpTextTest, RandomDamageNeverCrashes) {
  const std::string original = FullSpeak();
  std::mt19937 random(20261208);
  for (int round = 0; round < 3000; ++round) {
    std::string text = original;
    const int edits = 1 + static_cast<int>(random() % 8);
    for (int e = 0; e < edits; ++e) {
      const size_t at = random() % text.size();
      switch (random() % 3) {
        case 0:
          text[at] = static_cast<char>(random() % 256);
          break;
        case 1:
          text.erase(at, 1 + random() % 16);
          break;
        default:
          text.insert(at, 1, "\r\n: ;=%\x80"[random() % 8]);
          break;
      }
      if (text.empty()) text = "M";
    }
    mrcp_message_t* message = nullptr;
    std::string error;
    if (vxhost::ParseMrcpMessage(text, m_Pool, &message, &error)) {
      // Whatever was accepted is written so that it reads back the same.
      ExpectFixedPoint(text);
    } else {
      EXPECT_FALSE(error.empty());
    }
  }
}

TEST_F(MrcpTextTest, SpeakFromFields) {
  vxhost::SpeakFields fields;
  fields.body = "Hello.\r\nSecond line.";
  fields.voice_name = "en-US-Standard-C";
  fields.language = "en-US";
  fields.request_id = 7;
  fields.headers = {{"Content-Type", "application/ssml+xml"}, {"Prosody-Rate", "slow"}};
  std::string error;
  const mrcp_message_t* m = vxhost::BuildSpeakRequest(fields, m_Pool, &error);
  ASSERT_NE(nullptr, m) << error;
  EXPECT_EQ(SYNTHESIZER_SPEAK, m->start_line.method_id);
  EXPECT_EQ(7u, m->start_line.request_id);
  EXPECT_EQ(fields.body, Str(m->body));
  EXPECT_EQ("application/ssml+xml", Str(m->generic_header->content_type));
  EXPECT_EQ(PROSODY_RATE_SLOW, m->synth_header->prosody_param.rate.value.label);
  EXPECT_EQ("en-US", Str(m->synth_header->speech_language));

  fields.headers = {{"Voice-Gender", "robot"}};
  EXPECT_EQ(nullptr, vxhost::BuildSpeakRequest(fields, m_Pool, &error));
  EXPECT_NE(std::string::npos, error.find("Voice-Gender"));
}

}  // namespace

// ------------------------------------------------- what RFC 6787 allows

TEST_F(MrcpTextTest, GetParamsAsksWithEmptyValues) {
  const std::string text =
      "MRCP/2.0 0 GET-PARAMS 7\r\nVoice-Age:\r\nProsody-Volume: \r\nKill-On-Barge-In:\r\n"
      "Voice-Name:\r\nContent-Length:\r\n\r\n";
  mrcp_message_t* m = Parse(text);
  ASSERT_NE(nullptr, m);
  for (size_t id : {SYNTHESIZER_HEADER_VOICE_AGE, SYNTHESIZER_HEADER_PROSODY_VOLUME,
                    SYNTHESIZER_HEADER_KILL_ON_BARGE_IN, SYNTHESIZER_HEADER_VOICE_NAME}) {
    EXPECT_TRUE(mrcp_resource_header_property_check(m, id)) << id;
  }
  // Written back as asked: names without values, read again the same.
  const std::string written = vxhost::GenerateMrcpMessage(m);
  EXPECT_NE(std::string::npos, written.find("\r\nVoice-Age:\r\n")) << written;
  EXPECT_NE(std::string::npos, written.find("\r\nProsody-Volume:\r\n")) << written;
  EXPECT_EQ(std::string::npos, written.find("Voice-Age: 0")) << written;
  EXPECT_EQ(written, vxhost::GenerateMrcpMessage(Parse(written)));
  // Elsewhere an empty value is no value of the header's grammar.
  EXPECT_NE(std::string::npos,
            Refusal("MRCP/2.0 0 SET-PARAMS 1\r\nVoice-Age:\r\n\r\n").find("Voice-Age"));
}

TEST_F(MrcpTextTest, BodyInAnotherCharsetIsReadAsUtf8) {
  // "été" in ISO-8859-1, named by the XML declaration of an SSML document.
  const std::string latin1 =
      "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>\n<speak version=\"1.0\">\xE9t\xE9</speak>";
  mrcp_message_t* m =
      Parse("MRCP/2.0 0 SPEAK 1\r\nContent-Type: Application/SSML+XML\r\n\r\n" + latin1);
  ASSERT_NE(nullptr, m);
  const std::string body = Str(m->body);
  EXPECT_EQ(
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<speak "
      "version=\"1.0\">\xC3\xA9t\xC3\xA9</speak>",
      body);
  EXPECT_EQ(body.size(), m->generic_header->content_length);

  // The Content-Type charset parameter names it (and wins over the
  // declaration); both are rewritten to say UTF-8.
  m = Parse(
      "MRCP/2.0 0 SPEAK 1\r\nContent-Type: text/plain; Charset=\"windows-1252\"\r\n"
      "Content-Length: 4\r\n\r\n\x80 \xE9!");
  ASSERT_NE(nullptr, m);
  EXPECT_EQ("\xE2\x82\xAC \xC3\xA9!", Str(m->body));
  EXPECT_EQ("text/plain; Charset=\"UTF-8\"", Str(m->generic_header->content_type));
  const std::string written = vxhost::GenerateMrcpMessage(m);
  EXPECT_EQ(written, vxhost::GenerateMrcpMessage(Parse(written)));

  // UTF-8 stays as it came, whatever the declaration says when the
  // Content-Type names UTF-8.
  m = Parse(
      "MRCP/2.0 0 SPEAK 1\r\nContent-Type: application/ssml+xml;charset=utf-8\r\n\r\n"
      "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><speak>\xC3\xA9</speak>");
  ASSERT_NE(nullptr, m);
  EXPECT_NE(std::string::npos, Str(m->body).find("ISO-8859-1"));

  EXPECT_NE(std::string::npos,
            Refusal("MRCP/2.0 0 SPEAK 1\r\nContent-Type: text/plain; charset=klingon\r\n\r\nx")
                .find("klingon"));
  // Without a charset the body must be UTF-8, and the refusal says so.
  EXPECT_NE(std::string::npos,
            Refusal("MRCP/2.0 0 SPEAK 1\r\nContent-Type: text/plain\r\n\r\n\xE9t\xE9")
                .find("invalid UTF-8 in the body"));
}

TEST_F(MrcpTextTest, RefusalsNameTheLine) {
  EXPECT_NE(std::string::npos,
            Refusal("MRCP/2.0 0 SPEAK 1\r\nVoice-Name: a\r\nNo colon here\r\n\r\n")
                .find("line 3: bad header line"));
  EXPECT_NE(std::string::npos,
            Refusal("MRCP/2.0 0 SPEAK 1\r\nVoice-Name: a\r\nVoice-Gender: robot\r\n\r\n")
                .find("line 3: "));
  EXPECT_NE(std::string::npos, Refusal("MRCP/2.0 0 SPEAK\r\n\r\n").find("line 1: "));
  EXPECT_NE(std::string::npos,
            Refusal("MRCP/2.0 0 SPEAK 1\r\nVoice-Name: \xFF\r\n\r\n").find("line 2: "));
}

TEST_F(MrcpTextTest, StatusCodesBeyondTheNamedOnesAreKeptAsNumbers) {
  for (const char* code : {"600", "512", "999", "100"}) {
    const std::string text = std::string("MRCP/2.0 0 1 ") + code + " COMPLETE\r\n\r\n";
    mrcp_message_t* m = Parse(text);
    ASSERT_NE(nullptr, m);
    EXPECT_EQ(std::stoi(code), static_cast<int>(m->start_line.status_code));
    EXPECT_NE(std::string::npos,
              vxhost::GenerateMrcpMessage(m).find(std::string(" 1 ") + code + " COMPLETE"));
  }
}
