#include "ChunkBuffer.h"

#include <apr_general.h>
#include <gtest/gtest.h>

#include <malloc.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

namespace {

class ChunkBufferTest : public ::testing::Test {
 protected:
  void SetUp() override {
    apr_initialize();
    apr_pool_create(&m_Pool, nullptr);
    m_Buffer = mpf_media_chunk_buffer_create(m_Pool);
    ASSERT_NE(m_Buffer, nullptr);
  }
  void TearDown() override {
    mpf_media_chunk_buffer_destroy(m_Buffer);
    apr_pool_destroy(m_Pool);
    apr_terminate();
  }

  // Reads one frame of size bytes; the type starts as the host sets it.
  std::vector<char> ReadFrame(size_t size, int* type) {
    std::vector<char> data(size, 'x');
    mpf_frame_t frame;
    frame.type = MEDIA_FRAME_TYPE_NONE;
    frame.marker = 0;
    frame.codec_frame.buffer = data.data();
    frame.codec_frame.size = size;
    mpf_media_chunk_buffer_frame_read(m_Buffer, &frame);
    *type = frame.type;
    return data;
  }

  void Write(const std::string& bytes) {
    mpf_media_chunk_buffer_audio_write(m_Buffer, const_cast<char*>(bytes.data()), bytes.size());
  }

  apr_pool_t* m_Pool = nullptr;
  mpf_media_chunk_buffer_t* m_Buffer = nullptr;
};

TEST_F(ChunkBufferTest, FrameIsAssembledAcrossChunksAndPaddedWithSilence) {
  Write("abc");
  Write("defg");
  int type = 0;
  std::vector<char> frame = ReadFrame(5, &type);
  EXPECT_EQ(std::string(frame.begin(), frame.end()), "abcde");
  EXPECT_EQ(type, MEDIA_FRAME_TYPE_AUDIO);
  EXPECT_EQ(mpf_media_chunk__buffer_get_size(m_Buffer), 2u);

  frame = ReadFrame(5, &type);
  EXPECT_EQ(std::string(frame.begin(), frame.end()), std::string("fg\0\0\0", 5));
  EXPECT_EQ(type, MEDIA_FRAME_TYPE_AUDIO);
  EXPECT_EQ(mpf_media_chunk__buffer_get_size(m_Buffer), 0u);
}

// A reply's audio is queued where it lies, past its header, between chunks
// that were copied, and plays as if it had been copied; the restart lets it
// go (a leak would show in the sanitizer builds).
TEST_F(ChunkBufferTest, AdoptedAudioPlaysInPlaceBetweenCopiedChunks) {
  Write("ab");
  std::string* reply = new std::string("HEADERcdefg");
  vxs_media_chunk_buffer_audio_adopt(m_Buffer, reply, reply->data() + 6, 5);
  Write("hi");
  EXPECT_EQ(mpf_media_chunk__buffer_get_size(m_Buffer), 9u);
  int type = 0;
  std::vector<char> frame = ReadFrame(4, &type);
  EXPECT_EQ(std::string(frame.begin(), frame.end()), "abcd");
  frame = ReadFrame(4, &type);
  EXPECT_EQ(std::string(frame.begin(), frame.end()), "efgh");
  mpf_media_chunk_buffer_restart(m_Buffer);
  frame = ReadFrame(4, &type);
  EXPECT_EQ(std::string(frame.begin(), frame.end()), std::string(4, '\0'));
  std::string* next = new std::string("xy");
  vxs_media_chunk_buffer_audio_adopt(m_Buffer, next, next->data(), 2);
  frame = ReadFrame(2, &type);
  EXPECT_EQ(std::string(frame.begin(), frame.end()), "xy");
}

TEST_F(ChunkBufferTest, EmptyBufferGivesSilenceAndLeavesTheTypeAlone) {
  int type = 0;
  std::vector<char> frame = ReadFrame(4, &type);
  EXPECT_EQ(std::string(frame.begin(), frame.end()), std::string(4, '\0'));
  EXPECT_EQ(type, MEDIA_FRAME_TYPE_NONE);
}

TEST_F(ChunkBufferTest, MarkSetsTheEventBitWithoutChangingTheSize) {
  Write("abcd");
  mpf_media_chunk_buffer_event_write(m_Buffer, MEDIA_FRAME_TYPE_EVENT);
  EXPECT_EQ(mpf_media_chunk__buffer_get_size(m_Buffer), 4u);
  int type = 0;
  std::vector<char> frame = ReadFrame(4, &type);
  EXPECT_EQ(type, MEDIA_FRAME_TYPE_AUDIO);
  frame = ReadFrame(4, &type);
  EXPECT_EQ(type, MEDIA_FRAME_TYPE_EVENT);
  EXPECT_EQ(std::string(frame.begin(), frame.end()), std::string(4, '\0'));
}

TEST_F(ChunkBufferTest, MarkInsideAFrameStillFillsItFromLaterChunks) {
  Write("ab");
  mpf_media_chunk_buffer_event_write(m_Buffer, MEDIA_FRAME_TYPE_EVENT);
  Write("cd");
  int type = 0;
  std::vector<char> frame = ReadFrame(4, &type);
  EXPECT_EQ(std::string(frame.begin(), frame.end()), "abcd");
  EXPECT_EQ(type, MEDIA_FRAME_TYPE_AUDIO | MEDIA_FRAME_TYPE_EVENT);
}

TEST_F(ChunkBufferTest, RestartDropsUnreadAudio) {
  Write("abcdef");
  int type = 0;
  ReadFrame(2, &type);
  mpf_media_chunk_buffer_restart(m_Buffer);
  EXPECT_EQ(mpf_media_chunk__buffer_get_size(m_Buffer), 0u);
  std::vector<char> frame = ReadFrame(3, &type);
  EXPECT_EQ(std::string(frame.begin(), frame.end()), std::string(3, '\0'));
  EXPECT_EQ(type, MEDIA_FRAME_TYPE_NONE);
  Write("xyz");
  frame = ReadFrame(3, &type);
  EXPECT_EQ(std::string(frame.begin(), frame.end()), "xyz");
}

// Before the buffer reused its memory, every SPEAK added its audio to the
// channel's pool for the channel's whole life.
TEST_F(ChunkBufferTest, RestartReusesTheMemoryOfEarlierAudio) {
  std::string prompt(64000, 'a');
  for (int speak = 0; speak < 10; ++speak) {
    mpf_media_chunk_buffer_restart(m_Buffer);
    Write(prompt);
  }
  size_t before = mallinfo2().uordblks;
  for (int speak = 0; speak < 200; ++speak) {
    mpf_media_chunk_buffer_restart(m_Buffer);
    Write(prompt);
    EXPECT_EQ(mpf_media_chunk__buffer_get_size(m_Buffer), prompt.size());
  }
  size_t after = mallinfo2().uordblks;
  // 200 prompts kept would be 12.8 MB; reuse keeps the growth near zero.
  EXPECT_LT(after, before + 4 * prompt.size());
  int type = 0;
  std::vector<char> frame = ReadFrame(4, &type);
  EXPECT_EQ(std::string(frame.begin(), frame.end()), "aaaa");
}

// The channel tells a mark of a replaced SPEAK from its own by the restart
// the mark was read under.
TEST_F(ChunkBufferTest, FramesCarryTheRestartTheyWereReadUnder) {
  apt_bool_t mark_read = TRUE;
  apr_uint32_t first = vxs_media_chunk_buffer_generation(m_Buffer, &mark_read);
  EXPECT_FALSE(mark_read);
  Write("ab");
  mpf_media_chunk_buffer_event_write(m_Buffer, MEDIA_FRAME_TYPE_EVENT);
  std::vector<char> data(4);
  mpf_frame_t frame;
  frame.type = MEDIA_FRAME_TYPE_NONE;
  frame.codec_frame.buffer = data.data();
  frame.codec_frame.size = data.size();
  apr_uint32_t read_under = 99;
  vxs_media_chunk_buffer_frame_read(m_Buffer, &frame, &read_under);
  EXPECT_EQ(read_under, first);
  EXPECT_TRUE(frame.type & MEDIA_FRAME_TYPE_EVENT);
  vxs_media_chunk_buffer_generation(m_Buffer, &mark_read);
  EXPECT_TRUE(mark_read);

  mpf_media_chunk_buffer_restart(m_Buffer);
  apr_uint32_t second = vxs_media_chunk_buffer_generation(m_Buffer, &mark_read);
  EXPECT_NE(second, first);
  EXPECT_FALSE(mark_read);
  frame.type = MEDIA_FRAME_TYPE_NONE;
  vxs_media_chunk_buffer_frame_read(m_Buffer, &frame, &read_under);
  EXPECT_EQ(read_under, second);
  EXPECT_EQ(frame.type, MEDIA_FRAME_TYPE_NONE);
}

// The channel's read ends at the mark: the frame holds the last audio, then
// silence (never audio queued after the mark), and says how much audio.
TEST_F(ChunkBufferTest, ChannelReadEndsAtTheMarkAndCountsTheAudio) {
  Write("abc");
  mpf_media_chunk_buffer_event_write(m_Buffer, MEDIA_FRAME_TYPE_EVENT);
  Write("zz");
  std::vector<char> data(6, 'x');
  mpf_frame_t frame;
  frame.type = MEDIA_FRAME_TYPE_NONE;
  frame.codec_frame.buffer = data.data();
  frame.codec_frame.size = data.size();
  apr_uint32_t generation = 0;
  apr_size_t audio = 99;
  vxs_media_chunk_buffer_frame_read(m_Buffer, &frame, &generation, &audio);
  EXPECT_EQ(audio, 3u);
  EXPECT_TRUE(frame.type & MEDIA_FRAME_TYPE_EVENT);
  EXPECT_EQ(std::string(data.begin(), data.end()), std::string("abc\0\0\0", 6));

  // A frame that meets only the mark holds no audio.
  mpf_media_chunk_buffer_restart(m_Buffer);
  Write("abcdef");
  mpf_media_chunk_buffer_event_write(m_Buffer, MEDIA_FRAME_TYPE_EVENT);
  frame.type = MEDIA_FRAME_TYPE_NONE;
  vxs_media_chunk_buffer_frame_read(m_Buffer, &frame, &generation, &audio);
  EXPECT_EQ(audio, 6u);
  EXPECT_FALSE(frame.type & MEDIA_FRAME_TYPE_EVENT);
  frame.type = MEDIA_FRAME_TYPE_NONE;
  vxs_media_chunk_buffer_frame_read(m_Buffer, &frame, &generation, &audio);
  EXPECT_EQ(audio, 0u);
  EXPECT_TRUE(frame.type & MEDIA_FRAME_TYPE_EVENT);
}

TEST_F(ChunkBufferTest, ConcurrentWriterAndReaderSeeEveryByteInOrder) {
  const size_t kChunks = 2000;
  const size_t kChunkSize = 37;
  std::atomic<bool> done{false};
  std::vector<char> received;
  std::thread reader([&] {
    while (true) {
      int type = 0;
      std::vector<char> frame = ReadFrame(64, &type);
      if (type & MEDIA_FRAME_TYPE_AUDIO) {
        received.insert(received.end(), frame.begin(), frame.end());
      }
      if (type & MEDIA_FRAME_TYPE_EVENT) break;
      if (!(type & MEDIA_FRAME_TYPE_AUDIO) && done) std::this_thread::yield();
    }
  });
  for (size_t i = 0; i < kChunks; ++i) {
    std::string chunk(kChunkSize, static_cast<char>('A' + i % 26));
    Write(chunk);
  }
  mpf_media_chunk_buffer_event_write(m_Buffer, MEDIA_FRAME_TYPE_EVENT);
  done = true;
  reader.join();
  // Frames that ran dry before the writer caught up carry zeros after the
  // audio; drop those to compare the audio itself.
  std::string expected;
  for (size_t i = 0; i < kChunks; ++i) expected.append(kChunkSize, static_cast<char>('A' + i % 26));
  std::string audio;
  for (char c : received) {
    if (c != '\0') audio.push_back(c);
  }
  EXPECT_EQ(audio, expected);
}

// Speech markers take no room in the stream: a frame reports the last one
// it went past, one right at a frame's end is gone past by the next read,
// and the exported read skips them.
TEST_F(ChunkBufferTest, MarkersAreReportedByTheReadThatGoesPastThem) {
  struct Read {
    std::string audio;
    apr_uint32_t marker;
    int type;
  };
  auto read = [&]() {
    std::vector<char> data(4, 'x');
    mpf_frame_t frame;
    frame.type = MEDIA_FRAME_TYPE_NONE;
    frame.marker = 0;
    frame.codec_frame.buffer = data.data();
    frame.codec_frame.size = data.size();
    apr_uint32_t generation = 0;
    apr_size_t audio = 0;
    apr_uint32_t marker = 99;
    vxs_media_chunk_buffer_frame_read(m_Buffer, &frame, &generation, &audio, &marker);
    return Read{std::string(data.begin(), data.begin() + audio), marker, frame.type};
  };
  vxs_media_chunk_buffer_marker_write(m_Buffer, 1);  // before any audio
  Write("abcd");
  vxs_media_chunk_buffer_marker_write(m_Buffer, 2);  // right at the frame's end
  Write("ef");
  vxs_media_chunk_buffer_marker_write(m_Buffer, 3);  // two in a row
  vxs_media_chunk_buffer_marker_write(m_Buffer, 4);
  Write("gh");
  vxs_media_chunk_buffer_marker_write(m_Buffer, 5);  // just before the end
  mpf_media_chunk_buffer_event_write(m_Buffer, MEDIA_FRAME_TYPE_EVENT);
  EXPECT_EQ(mpf_media_chunk__buffer_get_size(m_Buffer), 8u);

  Read first = read();
  EXPECT_EQ(first.audio, "abcd");
  EXPECT_EQ(first.marker, 1u);
  Read second = read();
  EXPECT_EQ(second.audio, "efgh");
  EXPECT_EQ(second.marker, 4u);
  EXPECT_EQ(second.type, MEDIA_FRAME_TYPE_AUDIO);
  Read last = read();
  EXPECT_EQ(last.audio, "");
  EXPECT_EQ(last.marker, 5u);
  EXPECT_EQ(last.type, MEDIA_FRAME_TYPE_EVENT);
  EXPECT_EQ(read().marker, 0u);

  // Without the marker out-parameter they are skipped, and no frame type
  // ever shows them.
  mpf_media_chunk_buffer_restart(m_Buffer);
  vxs_media_chunk_buffer_marker_write(m_Buffer, 1);
  Write("ab");
  vxs_media_chunk_buffer_marker_write(m_Buffer, 2);
  Write("cd");
  int type = 0;
  std::vector<char> frame = ReadFrame(4, &type);
  EXPECT_EQ(std::string(frame.begin(), frame.end()), "abcd");
  EXPECT_EQ(type, MEDIA_FRAME_TYPE_AUDIO);
  vxs_media_chunk_buffer_marker_write(m_Buffer, 3);
  frame = ReadFrame(4, &type);
  EXPECT_EQ(type, MEDIA_FRAME_TYPE_NONE);
}

}  // namespace
