#include <gtest/gtest.h>

#include <cctype>

#include "filetransfer/file_transfer_errors.hpp"
#include "filetransfer/file_transfer_message_routing.hpp"
#include "filetransfer/remote_file_chunk.hpp"
#include "filetransfer/remote_file_messages.hpp"
#include "filetransfer/transfer_text_rules.hpp"

using namespace veltrano;
using json::Json;

namespace {

const std::string lowerID = "0f8fad5b-d9cb-469f-a165-70867728950e";
const std::string upperID = "0F8FAD5B-D9CB-469F-A165-70867728950E";

Bytes frameWithLength(std::uint32_t declared, std::size_t payloadSize) {
  Bytes frame = encodeChunkFrame(lowerID, 0, Bytes());
  frame[52] = static_cast<std::uint8_t>(declared >> 24);
  frame[53] = static_cast<std::uint8_t>(declared >> 16);
  frame[54] = static_cast<std::uint8_t>(declared >> 8);
  frame[55] = static_cast<std::uint8_t>(declared);
  frame.resize(chunkFrameHeaderSize + payloadSize, 0xAB);
  return frame;
}

bool decodes(const Bytes& frame) {
  try {
    decodeChunkFrame(frame);
    return true;
  } catch (const RemoteFileTransferProtocolError&) {
    return false;
  }
}

}  // namespace

TEST(ChunkFrame, LayoutRoundTripAndBounds) {
  RemoteFileChunk chunk{upperID, 0x0102030405060708ULL, {1, 2, 3}};
  Bytes frame = encodeChunkFrame(chunk);
  ASSERT_EQ(frame.size(), 59u);
  EXPECT_EQ(std::string(frame.begin(), frame.begin() + 4), "VLF1");
  EXPECT_EQ(frame[4], 1);
  EXPECT_EQ(std::string(frame.begin() + 8, frame.begin() + 44), lowerID);  // written lowercased
  EXPECT_EQ(readBE64(frame.data() + 44), 0x0102030405060708ULL);
  EXPECT_EQ(readBE32(frame.data() + 52), 3u);
  auto decoded = decodeChunkFrame(frame);
  EXPECT_EQ(decoded, (RemoteFileChunk{lowerID, 0x0102030405060708ULL, {1, 2, 3}}));

  // Empty payload: exactly 56 bytes; 55 is too short.
  auto empty = encodeChunkFrame(lowerID, 9, Bytes());
  ASSERT_EQ(empty.size(), 56u);
  EXPECT_TRUE(decodeChunkFrame(empty).payload.empty());
  empty.pop_back();
  EXPECT_FALSE(decodes(empty));

  EXPECT_TRUE(decodes(frameWithLength(49152, 49152)));
  EXPECT_FALSE(decodes(frameWithLength(49153, 49153)));  // over the limit even when the total matches
  EXPECT_FALSE(decodes(frameWithLength(10, 11)));
  EXPECT_FALSE(decodes(frameWithLength(10, 9)));

  Bytes reserved = encodeChunkFrame(lowerID, 0, Bytes{7});
  reserved[5] = reserved[6] = reserved[7] = 0xFF;
  EXPECT_TRUE(decodes(reserved));

  Bytes upper = encodeChunkFrame(lowerID, 0, Bytes{7});
  std::copy(upperID.begin(), upperID.end(), upper.begin() + 8);
  EXPECT_EQ(decodeChunkFrame(upper).transferID, lowerID);

  Bytes badMagic = encodeChunkFrame(lowerID, 0, Bytes{7});
  badMagic[3] = '2';
  EXPECT_FALSE(decodes(badMagic));
  Bytes badVersion = encodeChunkFrame(lowerID, 0, Bytes{7});
  badVersion[4] = 2;
  EXPECT_FALSE(decodes(badVersion));
  Bytes badID = encodeChunkFrame(lowerID, 0, Bytes{7});
  badID[8] = 'g';
  EXPECT_FALSE(decodes(badID));

  EXPECT_THROW(encodeChunkFrame("not-an-id", 0, Bytes()), RemoteFileTransferProtocolError);
  EXPECT_THROW(encodeChunkFrame(lowerID, 0, Bytes(49153)), RemoteFileTransferProtocolError);
}

TEST(TransferTextRules, IdentifiersAndChecksums) {
  EXPECT_EQ(normalizedTransferID(upperID), lowerID);
  EXPECT_EQ(normalizedTransferID(lowerID), lowerID);
  EXPECT_FALSE(normalizedTransferID("{" + lowerID.substr(0, 34) + "}"));
  EXPECT_FALSE(normalizedTransferID("0f8fad5bxd9cb-469f-a165-70867728950e"));
  EXPECT_FALSE(normalizedTransferID("0f8fad5b-d9cb-469f-a165-70867728950"));
  EXPECT_FALSE(normalizedTransferID("zf8fad5b-d9cb-469f-a165-70867728950e"));
  auto made = makeTransferID();
  EXPECT_EQ(normalizedTransferID(made), made);

  const std::string sha(64, 'A');
  EXPECT_EQ(normalizedSHA256(sha), std::string(64, 'a'));
  EXPECT_FALSE(normalizedSHA256(std::string(63, 'a')));
  EXPECT_FALSE(normalizedSHA256(std::string(63, 'a') + "g"));
  EXPECT_FALSE(normalizedSHA256(std::string(65, 'a')));
}

TEST(TransferTextRules, FileNamesFromClients) {
  EXPECT_EQ(sanitizedFileName("report.pdf"), "report.pdf");
  EXPECT_EQ(sanitizedFileName(".hidden"), ".hidden");
  EXPECT_EQ(sanitizedFileName(std::string(255, 'a')), std::string(255, 'a'));
  EXPECT_FALSE(sanitizedFileName(std::string(256, 'a')));
  // Measured in bytes: 85 three-byte characters pass, 86 do not.
  std::string euro;
  for (int i = 0; i < 85; ++i) euro += "\xE2\x82\xAC";
  EXPECT_TRUE(sanitizedFileName(euro));
  EXPECT_FALSE(sanitizedFileName(euro + "\xE2\x82\xAC"));

  for (std::string bad : {"", ".", "..", "/", "a/b", "b/", "/etc", "a\\b", "a\nb", "tab\there", "bell\x07",
                          "rtl\xE2\x80\xAEgpj.exe", "zero\xE2\x80\x8Bwidth", "\xFF\xFEinvalid", "del\x7F"}) {
    EXPECT_FALSE(sanitizedFileName(bad)) << bad;
  }
  EXPECT_FALSE(sanitizedFileName(std::string("nul\0inside", 10)));
}

TEST(TransferTextRules, NamesThatBreakLinesOrLookLikeThePartialFilesAreRefused) {
  const std::string id = "0f8fad5b-d9cb-469f-a165-70867728950e";
  std::string upper = id;
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  for (const std::string& bad : std::vector<std::string>{"line\xE2\x80\xA8separator", "paragraph\xE2\x80\xA9separator",
                                 ".veltrano-" + id + ".download", ".veltrano-" + upper + ".download"}) {
    EXPECT_FALSE(sanitizedFileName(bad)) << bad;
  }
  // Near misses are ordinary names.
  for (const std::string& good : std::vector<std::string>{"veltrano-" + id + ".download", ".veltrano-" + id + ".download.pdf",
                                  ".veltrano-not-a-transfer.download", "nbsp\xC2\xA0inside"}) {
    EXPECT_EQ(sanitizedFileName(good), good);
  }
}

TEST(FileMessages, NumbersFlowAndOffers) {
  EXPECT_EQ(parseUInt64(Json::parse("1.0")), 1u);
  EXPECT_EQ(parseUInt64(Json::parse("18446744073709551615")), 18446744073709551615ULL);
  for (const char* bad : {"1.5", "-1", "\"1\"", "1e20", "18446744073709551616", "true", "null", "-0.5"}) {
    EXPECT_FALSE(parseUInt64(Json::parse(bad))) << bad;
  }
  EXPECT_EQ(parseUInt64(Json::parse("1e3")), 1000u);

  EXPECT_TRUE(isUploadFlow(Json{{"flow", "upload"}}));
  EXPECT_FALSE(isUploadFlow(Json{{"flow", "UPLOAD"}}));
  EXPECT_FALSE(isUploadFlow(Json{{"flow", 1}}));
  EXPECT_FALSE(isUploadFlow(Json::object()));

  // Offers: the coordinator refuses unusable names and sizes; a text size or a bad identifier is no offer either.
  auto offer = decodeOffer(Json{{"transferID", upperID}, {"name", "a.txt"}, {"size", 1.0}});
  ASSERT_TRUE(offer);
  EXPECT_EQ(*offer, (RemoteFileOffer{lowerID, "a.txt", 1}));
  EXPECT_FALSE(decodeOffer(Json{{"transferID", lowerID}, {"name", "a.txt"}, {"size", "1"}}));
  EXPECT_FALSE(decodeOffer(Json{{"transferID", "x"}, {"name", "a.txt"}, {"size", 1}}));
}
