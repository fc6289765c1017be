// The host toolkit's C functions: text streams, pair arrays, strings, the
// directory layout, tasks, media capabilities and MRCP message helpers.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "vxhost/AprGuard.h"
#include "vxhost/mrcp.h"

namespace {

using vxhost::Str;

class AptTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { apr_initialize(); }
  static void TearDownTestSuite() { apr_terminate(); }
  void SetUp() override { apr_pool_create(&m_Pool, nullptr); }
  void TearDown() override { apr_pool_destroy(m_Pool); }

  // Every field of `text` read with `separator`, "<empty>" for a failed read.
  std::vector<std::string> Fields(std::string text, char separator, bool skip_spaces) {
    apt_text_stream_t stream;
    apt_text_stream_init(&stream, &text[0], text.size());
    std::vector<std::string> fields;
    while (stream.pos < stream.end) {
      apt_str_t field;
      fields.push_back(apt_text_field_read(&stream, separator, skip_spaces, &field) ? Str(field)
                                                                                   : "<empty>");
    }
    EXPECT_TRUE(stream.is_eos);
    return fields;
  }

  std::vector<std::string> Lines(std::string text) {
    apt_text_stream_t stream;
    apt_text_stream_init(&stream, &text[0], text.size());
    std::vector<std::string> lines;
    apt_str_t line;
    while (apt_text_line_read(&stream, &line)) lines.push_back(Str(line));
    return lines;
  }

  std::vector<std::pair<std::string, std::string>> Pairs(const std::string& text) {
    apt_pair_arr_t* arr = apt_pair_array_create(1, m_Pool);
    apt_str_t value;
    apt_string_assign(&value, text.c_str(), m_Pool);
    EXPECT_TRUE(apt_pair_array_parse(arr, &value, m_Pool));
    std::vector<std::pair<std::string, std::string>> pairs;
    for (int i = 0; i < apt_pair_array_size_get(arr); ++i) {
      const apt_pair_t* pair = apt_pair_array_get(arr, i);
      EXPECT_EQ('\0', pair->name.buf[pair->name.length]);
      EXPECT_EQ('\0', pair->value.buf[pair->value.length]);
      pairs.emplace_back(Str(pair->name), Str(pair->value));
    }
    return pairs;
  }

  apr_pool_t* m_Pool = nullptr;
};

using Strings = std::vector<std::string>;
using PairList = std::vector<std::pair<std::string, std::string>>;

TEST_F(AptTest, FieldReadSkipsLeadingSpacesAndStepsOverSeparator) {
  EXPECT_EQ(Strings({"max-age=60", "min-fresh=30 "}),
            Fields("max-age=60,  min-fresh=30 ", ',', true));
  EXPECT_EQ(Strings({"a", " b"}), Fields("a, b", ',', false));
}

TEST_F(AptTest, FieldReadReportsEmptyFieldsAndGoesOn) {
  EXPECT_EQ(Strings({"<empty>", "<empty>", "x"}), Fields(",,x", ',', true));
  EXPECT_EQ(Strings({"<empty>"}), Fields("   ", ',', true));
  EXPECT_EQ(Strings({"whole text"}), Fields("whole text", ';', false));
}

TEST_F(AptTest, FieldReadAtEndFails) {
  std::string text = "a";
  apt_text_stream_t stream;
  apt_text_stream_init(&stream, &text[0], text.size());
  apt_str_t field;
  ASSERT_TRUE(apt_text_field_read(&stream, ',', TRUE, &field));
  EXPECT_FALSE(apt_text_field_read(&stream, ',', TRUE, &field));
  EXPECT_EQ(nullptr, field.buf);
}

TEST_F(AptTest, LineReadEndsAtCrLfOrCrLf) {
  EXPECT_EQ(Strings({"a", "b", "c", "d"}), Lines("a\rb\nc\r\nd"));
  EXPECT_EQ(Strings({"x", "", "y"}), Lines("x\r\n\r\ny"));
  EXPECT_EQ(Strings({"one", ""}), Lines("one\n\n"));
  EXPECT_EQ(Strings({"last"}), Lines("last"));
  EXPECT_EQ(Strings({"cr", ""}), Lines("cr\r\r"));
  EXPECT_TRUE(Lines("").empty());
}

TEST_F(AptTest, PairArrayParseKeepsMissingNamesAndValues) {
  EXPECT_EQ(PairList({{"a", "1"}, {"b", "2"}, {"flag", ""}}), Pairs("a=1;  b=2;flag"));
  EXPECT_EQ(PairList({{"", "v"}, {"k", ""}, {"eq", "x=y"}}), Pairs("=v;k=;;eq=x=y;"));
}

TEST_F(AptTest, PairArrayParseKeepsQuotesVerbatim) {
  EXPECT_EQ(PairList({{"voice-name", "\"en-US-Std\""}, {"tag", "\"open"}}),
            Pairs("voice-name=\"en-US-Std\";tag=\"open"));
  // ';' always separates, also inside quotes.
  EXPECT_EQ(PairList({{"q", "\"a"}, {"b\"", ""}}), Pairs("q=\"a;b\""));
}

TEST_F(AptTest, PairArrayParseRefusesNullAndGenerateRoundTrips) {
  apt_pair_arr_t* arr = apt_pair_array_create(1, m_Pool);
  EXPECT_FALSE(apt_pair_array_parse(arr, nullptr, m_Pool));
  apt_str_t text;
  apt_string_assign(&text, "a=1;flag;b=x=y", m_Pool);
  ASSERT_TRUE(apt_pair_array_parse(arr, &text, m_Pool));
  apt_str_t generated;
  ASSERT_TRUE(apt_pair_array_generate(arr, &generated, m_Pool));
  EXPECT_EQ("a=1;flag;b=x=y", Str(generated));
  EXPECT_EQ(nullptr, apt_pair_array_get(arr, 3));
  // A pair without a name keeps its '=', or it would parse as no pair.
  EXPECT_EQ(PairList({{"a", "1"}, {"", ""}, {"b", "2"}}), Pairs("a=1;=;b=2"));
  arr = apt_pair_array_create(1, m_Pool);
  apt_string_assign(&text, "a=1;=;b=2", m_Pool);
  ASSERT_TRUE(apt_pair_array_parse(arr, &text, m_Pool));
  ASSERT_TRUE(apt_pair_array_generate(arr, &generated, m_Pool));
  EXPECT_EQ("a=1;=;b=2", Str(generated));
}

TEST_F(AptTest, StringHelpers) {
  apt_str_t str;
  apt_string_assign_n(&str, "Hello, world", 5, m_Pool);
  EXPECT_EQ("Hello", Str(str));
  EXPECT_EQ('\0', str.buf[5]);
  EXPECT_TRUE(apt_string_compare(&str, "hELLO"));
  EXPECT_FALSE(apt_string_compare(&str, "Hell"));
  apt_string_assign(&str, nullptr, m_Pool);
  EXPECT_TRUE(apt_string_is_empty(&str));
}

TEST_F(AptTest, DefaultLayoutPlacesFoldersUnderRoot) {
  apt_dir_layout_t* layout = apt_default_dir_layout_create("/srv/host/", m_Pool);
  EXPECT_STREQ("/srv/host/conf", apt_dir_layout_path_get(layout, APT_LAYOUT_CONF_DIR));
  EXPECT_STREQ("/srv/host/plugin", apt_dir_layout_path_get(layout, APT_LAYOUT_PLUGIN_DIR));
  EXPECT_STREQ("/srv/host/log", apt_dir_layout_path_get(layout, APT_LAYOUT_LOG_DIR));
  EXPECT_STREQ("/srv/host/data", apt_dir_layout_path_get(layout, APT_LAYOUT_DATA_DIR));
  EXPECT_STREQ("/srv/host/var/status", apt_vardir_filepath_get(layout, "status", m_Pool));
  EXPECT_STREQ("/srv/host/conf/vexora.xml", apt_confdir_filepath_get(layout, "vexora.xml", m_Pool));
  EXPECT_STREQ("/srv/host/data/key.json", apt_datadir_filepath_get(layout, "key.json", m_Pool));
  EXPECT_EQ(nullptr, apt_dir_layout_path_get(layout, static_cast<apt_dir_entry_id>(9)));
}

TEST_F(AptTest, EmptyLayoutHasNoPathsUntilSet) {
  apt_dir_layout_t* layout = apt_dir_layout_create(m_Pool);
  EXPECT_EQ(nullptr, apt_confdir_filepath_get(layout, "x.xml", m_Pool));
  ASSERT_TRUE(apt_dir_layout_path_set(layout, APT_LAYOUT_VAR_DIR, "/tmp/v", m_Pool));
  EXPECT_STREQ("/tmp/v/status", apt_vardir_filepath_get(layout, "status", m_Pool));
}

// ------------------------------------------------------------------ tasks

struct TaskProbe {
  std::mutex mutex;
  std::condition_variable cond;
  bool stop = false;
  bool ran = false;
  std::thread::id run_thread;
  std::vector<std::string> events;

  void Add(const std::string& event) {
    std::lock_guard<std::mutex> lock(mutex);
    events.push_back(event);
  }
};

TaskProbe* ProbeOf(apt_task_t* task) { return static_cast<TaskProbe*>(apt_task_object_get(task)); }

apt_bool_t ProbeRun(apt_task_t* task) {
  TaskProbe* probe = ProbeOf(task);
  probe->Add("run");
  std::unique_lock<std::mutex> lock(probe->mutex);
  probe->ran = true;
  probe->run_thread = std::this_thread::get_id();
  probe->cond.notify_all();
  probe->cond.wait_for(lock, std::chrono::seconds(10), [probe] { return probe->stop; });
  return TRUE;
}

apt_bool_t ProbeTerminate(apt_task_t* task) {
  TaskProbe* probe = ProbeOf(task);
  probe->Add("terminate");
  std::lock_guard<std::mutex> lock(probe->mutex);
  probe->stop = true;
  probe->cond.notify_all();
  return TRUE;
}

bool WaitRan(TaskProbe* probe) {
  std::unique_lock<std::mutex> lock(probe->mutex);
  return probe->cond.wait_for(lock, std::chrono::seconds(5), [probe] { return probe->ran; });
}

void ProbeStartComplete(apt_task_t* task) { ProbeOf(task)->Add("start-complete"); }
void ProbeTerminateComplete(apt_task_t* task) { ProbeOf(task)->Add("terminate-complete"); }

TEST_F(AptTest, TaskRunsOnItsOwnThreadUntilTerminated) {
  TaskProbe probe;
  apt_task_t* task = apt_task_create(&probe, nullptr, m_Pool);
  ASSERT_NE(nullptr, task);
  apt_task_vtable_t* vtable = apt_task_vtable_get(task);
  vtable->run = ProbeRun;
  vtable->terminate = ProbeTerminate;
  vtable->on_start_complete = ProbeStartComplete;
  vtable->on_terminate_complete = ProbeTerminateComplete;
  apt_task_name_set(task, "probe");

  ASSERT_TRUE(apt_task_start(task));
  EXPECT_FALSE(apt_task_start(task));  // a task runs once
  ASSERT_TRUE(WaitRan(&probe));
  EXPECT_NE(std::this_thread::get_id(), probe.run_thread);
  ASSERT_TRUE(apt_task_terminate(task, TRUE));
  // Joined: every callback has run, in order.
  EXPECT_EQ(Strings({"start-complete", "run", "terminate", "terminate-complete"}), probe.events);
  EXPECT_TRUE(apt_task_destroy(task));
}

TEST_F(AptTest, TaskWithoutRunWaitsForTerminate) {
  TaskProbe probe;
  apt_task_t* task = apt_task_create(&probe, nullptr, m_Pool);
  apt_task_vtable_get(task)->on_terminate_complete = ProbeTerminateComplete;
  ASSERT_TRUE(apt_task_start(task));
  ASSERT_TRUE(apt_task_terminate(task, TRUE));
  EXPECT_EQ(Strings({"terminate-complete"}), probe.events);
  EXPECT_TRUE(apt_task_destroy(task));
}

TEST_F(AptTest, DestroyingTheTaskOrItsPoolEndsARunningTask) {
  TaskProbe by_destroy;
  apt_task_t* task = apt_task_create(&by_destroy, nullptr, m_Pool);
  apt_task_vtable_get(task)->run = ProbeRun;
  apt_task_vtable_get(task)->terminate = ProbeTerminate;
  ASSERT_TRUE(apt_task_start(task));
  ASSERT_TRUE(WaitRan(&by_destroy));
  EXPECT_TRUE(apt_task_destroy(task));  // terminates and joins
  EXPECT_EQ(Strings({"run", "terminate"}), by_destroy.events);

  TaskProbe by_pool;
  apr_pool_t* pool = nullptr;
  apr_pool_create(&pool, m_Pool);
  task = apt_task_create(&by_pool, nullptr, pool);
  apt_task_vtable_get(task)->run = ProbeRun;
  apt_task_vtable_get(task)->terminate = ProbeTerminate;
  ASSERT_TRUE(apt_task_start(task));
  ASSERT_TRUE(WaitRan(&by_pool));
  apr_pool_destroy(pool);
  EXPECT_EQ(Strings({"run", "terminate"}), by_pool.events);
}

// ---------------------------------------------------------- media and MRCP

TEST_F(AptTest, CodecCapabilitiesListEntriesInOrder) {
  mpf_stream_capabilities_t* caps = mpf_source_stream_capabilities_create(m_Pool);
  EXPECT_EQ(STREAM_DIRECTION_RECEIVE, caps->direction);
  EXPECT_TRUE(mpf_codec_capabilities_add(&caps->codecs, MPF_SAMPLE_RATE_8000, "LPCM"));
  EXPECT_TRUE(mpf_codec_capabilities_add_ex(&caps->codecs, MPF_SAMPLE_RATE_16000, "LPCM", 16));
  EXPECT_FALSE(mpf_codec_capabilities_add(&caps->codecs, MPF_SAMPLE_RATE_8000, nullptr));
  ASSERT_EQ(2, caps->codecs.attrib_arr.nelts);
  const auto& second = APR_ARRAY_IDX(&caps->codecs.attrib_arr, 1, mpf_codec_attribs_t);
  EXPECT_EQ("LPCM", Str(second.name));
  EXPECT_EQ(MPF_SAMPLE_RATE_16000, second.sample_rates);
  EXPECT_EQ(16, second.bits_per_sample);
  EXPECT_EQ(MPF_SAMPLE_RATE_16000, mpf_sample_rate_mask_get(16000));
  EXPECT_EQ(MPF_SAMPLE_RATE_NONE, mpf_sample_rate_mask_get(11025));
}

TEST_F(AptTest, ResponseAndEventFollowTheirRequest) {
  mrcp_message_t* request = mrcp_request_create(MRCP_VERSION_2, SYNTHESIZER_SPEAK, m_Pool);
  request->start_line.request_id = 42;
  apt_string_assign(&request->channel_id, "s1@speechsynth", m_Pool);
  EXPECT_EQ("SPEAK", Str(request->start_line.method_name));
  // Both sections exist, with no header present.
  ASSERT_NE(nullptr, request->synth_header);
  ASSERT_NE(nullptr, request->generic_header);
  EXPECT_EQ(0u, request->synth_present);
  EXPECT_EQ(0u, request->generic_present);

  mrcp_message_t* response = mrcp_response_create(request, m_Pool);
  EXPECT_EQ(MRCP_MESSAGE_TYPE_RESPONSE, response->start_line.message_type);
  EXPECT_EQ(42u, response->start_line.request_id);
  EXPECT_EQ(MRCP_STATUS_CODE_SUCCESS, response->start_line.status_code);
  EXPECT_EQ(MRCP_REQUEST_STATE_COMPLETE, response->start_line.request_state);
  EXPECT_EQ("s1@speechsynth", Str(response->channel_id));

  mrcp_message_t* event = mrcp_event_create(request, SYNTHESIZER_SPEAK_COMPLETE, m_Pool);
  EXPECT_EQ(MRCP_MESSAGE_TYPE_EVENT, event->start_line.message_type);
  EXPECT_EQ("SPEAK-COMPLETE", Str(event->start_line.method_name));
  EXPECT_EQ(MRCP_REQUEST_STATE_INPROGRESS, event->start_line.request_state);
}

TEST_F(AptTest, HeaderPresenceBitsPrepareTheirSection) {
  const mrcp_message_t* request = mrcp_request_create(MRCP_VERSION_2, SYNTHESIZER_SPEAK, m_Pool);
  mrcp_message_t* message = mrcp_response_create(request, m_Pool);
  ASSERT_EQ(nullptr, message->synth_header);  // a response starts without sections
  EXPECT_FALSE(mrcp_resource_header_property_check(message, SYNTHESIZER_HEADER_COMPLETION_CAUSE));
  ASSERT_TRUE(mrcp_resource_header_property_add(message, SYNTHESIZER_HEADER_COMPLETION_CAUSE));
  ASSERT_NE(nullptr, message->synth_header);
  EXPECT_EQ(VOICE_GENDER_UNKNOWN, message->synth_header->voice_param.gender);
  EXPECT_EQ(PROSODY_RATE_TYPE_UNKNOWN, message->synth_header->prosody_param.rate.type);
  EXPECT_TRUE(mrcp_resource_header_property_check(message, SYNTHESIZER_HEADER_COMPLETION_CAUSE));
  EXPECT_FALSE(mrcp_resource_header_property_check(message, SYNTHESIZER_HEADER_VOICE_NAME));
  EXPECT_FALSE(mrcp_resource_header_property_add(message, SYNTHESIZER_HEADER_COUNT));
  EXPECT_TRUE(mrcp_generic_header_property_add(message, GENERIC_HEADER_LOGGING_TAG));
  EXPECT_TRUE(mrcp_generic_header_property_check(message, GENERIC_HEADER_LOGGING_TAG));
}

TEST_F(AptTest, CompletionCauseAndMethodNames) {
  const char* expected[] = {"normal", "barge-in", "parse-failure", "uri-failure", "error",
                            "language-unsupported", "lexicon-load-failure", "cancelled"};
  for (int cause = 0; cause < 8; ++cause) {
    const apt_str_t* name = mrcp_synth_completion_cause_get(
        static_cast<mrcp_synth_completion_cause_e>(cause), MRCP_VERSION_2);
    ASSERT_NE(nullptr, name);
    EXPECT_EQ(expected[cause], Str(*name));
  }
  EXPECT_EQ(nullptr, mrcp_synth_completion_cause_get(SYNTHESIZER_COMPLETION_CAUSE_UNKNOWN,
                                                     MRCP_VERSION_2));
  EXPECT_STREQ("BARGE-IN-OCCURRED", mrcp_synth_method_name_get(SYNTHESIZER_BARGE_IN_OCCURRED));
  EXPECT_EQ(nullptr, mrcp_synth_method_name_get(SYNTHESIZER_METHOD_COUNT));
  EXPECT_EQ(nullptr, mrcp_synth_event_name_get(SYNTHESIZER_EVENT_COUNT));
}

}  // namespace
