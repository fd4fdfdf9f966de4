#include "traversal/router/http/http_message.hpp"

#include <gtest/gtest.h>

#include <string>

namespace vx::network {
namespace {

TEST(HttpHead, ReadsStatusReasonAndHeaders) {
    const std::string text =
        "HTTP/1.1 200 OK\r\nContent-Type: text/xml\r\ncontent-LENGTH: 7\r\nX-A: 1\r\n"
        "x-a:  2 \r\nno colon here\r\n\r\nbody...";
    const auto head = parse_http_response(text);
    ASSERT_TRUE(head);
    EXPECT_EQ(head->status, 200u);
    EXPECT_EQ(head->reason, "OK");
    EXPECT_EQ(head->headers.at("content-type"), "text/xml");
    EXPECT_EQ(head->headers.at("x-a"), "2");
    EXPECT_EQ(head->content_length, 7u);
    EXPECT_FALSE(head->chunked);
    EXPECT_EQ(head->body_offset, text.find("body"));
}

TEST(HttpHead, ContentLengthAndTransferEncodingRules) {
    struct Case {
        const char* headers;
        std::optional<std::uint64_t> length;
        bool chunked;
    };
    const Case cases[] = {
        {"Content-Length: 67108864", 67108864u, false},
        {"Content-Length: 67108865", std::nullopt, false},
        {"Content-Length: 12a", std::nullopt, false},
        {"Content-Length: -1", std::nullopt, false},
        {"Content-Length: 99999999999999999999999", std::nullopt, false},
        {"Content-Length: 3\r\nContent-Length: 9", 9u, false},
        {"Transfer-Encoding: gzip, CHUNKED", std::nullopt, true},
        {"Transfer-Encoding: identity", std::nullopt, false},
    };
    for (const auto& c : cases) {
        const auto head =
            parse_http_response("HTTP/1.1 200 OK\r\n" + std::string(c.headers) + "\r\n\r\n");
        ASSERT_TRUE(head) << c.headers;
        EXPECT_EQ(head->content_length, c.length) << c.headers;
        EXPECT_EQ(head->chunked, c.chunked) << c.headers;
    }
}

TEST(HttpHead, StatusLineVariants) {
    EXPECT_EQ(parse_http_response("http/1.0 404\n\n")->status, 404u);
    EXPECT_EQ(parse_http_response("HTTP/1.1 500 Internal Error\r\n\r\n")->reason, "Internal Error");
    EXPECT_EQ(parse_http_response("HTTP/1.1  200  \r\n\r\n")->reason, "");
    for (const char* bad : {"HTTP/1.1 20\r\n\r\n", "HTTX/1.1 200 OK\r\n\r\n", "HTTP/1.1200\r\n\r\n",
                            "HTTP/1.1 2x0 OK\r\n\r\n", "\r\n\r\n", "HTTP/1.1 200 OK\r\n", ""}) {
        EXPECT_FALSE(parse_http_response(bad)) << bad;
    }
}

// The first blank line ends the head, whatever its line ends: a body that holds a CRLF blank
// line after a head of bare line feeds is body, read the same whole or as it trickles in.
TEST(HttpHead, TheFirstBlankLineEndsTheHeadWhateverItsLineEnds) {
    const std::string text = "HTTP/1.1 200 OK\nContent-Length: 16\r\n\nX-Fake: 1\r\n\r\nabcdef";
    const auto head = parse_http_response(text);
    ASSERT_TRUE(head);
    EXPECT_EQ(head->body_offset, text.find("X-Fake"));
    EXPECT_EQ(head->headers.count("x-fake"), 0u);
    EXPECT_EQ(parse_http_message(text)->body, "X-Fake: 1\r\n\r\nabc");
    HttpResponseReader whole, trickled;
    whole.feed(text);
    for (char c : text)
        trickled.feed(std::string(1, c));
    EXPECT_TRUE(whole.complete());
    EXPECT_TRUE(trickled.complete());
    EXPECT_EQ(whole.finish(false).body, trickled.finish(false).body);
}

TEST(HttpMessage, BodyFollowsContentLengthOrChunks) {
    const auto plain = parse_http_message("HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\n0123456789");
    ASSERT_TRUE(plain);
    EXPECT_EQ(plain->body, "01234");
    const auto chunked = parse_http_message(
        "HTTP/1.1 200 OK\r\nContent-Length: 2\r\nTransfer-Encoding: chunked\r\n\r\n"
        "5;name=value\r\nhello\r\n0\r\n\r\n");
    ASSERT_TRUE(chunked);
    EXPECT_EQ(chunked->body, "hello");
    const auto until_close = parse_http_message("HTTP/1.0 200 OK\r\n\r\nall of it");
    EXPECT_EQ(until_close->body, "all of it");
}

TEST(ChunkedBody, ForgivingDecodeOfAWholeMessage) {
    struct Case {
        const char* bytes;
        const char* body;
    };
    const Case cases[] = {
        {"5\r\nhello\r\n0\r\n\r\n", "hello"},
        {"5;ext=1\r\nhello\r\n0\r\n\r\n", "hello"},
        {"5 \r\nhello\r\n6\r\n world\r\n0\r\n\r\n", "hello world"},
        {"a\nabcdefghij\n0\n\n", "abcdefghij"},
        {"9\r\nhello", ""},
        {"5\r\nhello\r\nzz\r\nmore\r\n", "hello"},
        {"4000001\r\n", ""},
        {"\r\nhello", ""},
        {"5\r\nhelloX3\r\nabc\r\n0\r\n\r\n", "hello"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(decode_chunked_body(c.bytes), c.body) << c.bytes;
}

// Data holding the very bytes that end a chunked body must not end it early.
const std::string kTrickyChunks = "9\r\nab\r\n0\r\n\r\n\r\n3;x=y\r\nxyz\r\n0\r\nTrailer: t\r\n\r\n";

TEST(ChunkedBody, SplitAtEveryOffsetDecodesTheSame) {
    for (std::size_t split = 0; split < kTrickyChunks.size(); ++split) {
        ChunkedDecoder decoder;
        decoder.feed(std::string_view(kTrickyChunks).substr(0, split));
        EXPECT_FALSE(decoder.done()) << split;
        decoder.feed(std::string_view(kTrickyChunks).substr(split));
        EXPECT_TRUE(decoder.done()) << split;
        EXPECT_EQ(decoder.body(), "ab\r\n0\r\n\r\nxyz") << split;
    }
}

TEST(ChunkedBody, RefusesWhatCannotBeAChunk) {
    for (const char* bad : {"zz\r\n", "-1\r\n", "4000001\r\n", "123456789\r\n"}) {
        ChunkedDecoder decoder;
        EXPECT_EQ(decoder.feed(bad), ChunkedDecoder::State::failed) << bad;
    }
    ChunkedDecoder endless;
    EXPECT_EQ(endless.feed(std::string(5000, '1')), ChunkedDecoder::State::failed);
}

HttpResult read_all(const std::string& bytes, bool closed) {
    HttpResponseReader reader;
    reader.feed(bytes);
    return reader.finish(closed);
}

// Reading stops once the body is whole, or once the head's blank line shows a head that can
// never become valid (rather than at the deadline).
TEST(HttpResponseReader, CompleteOnceTheBodyIsWholeOrTheHeadIsMalformed) {
    HttpResponseReader reader;
    reader.feed("HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\n012");
    EXPECT_FALSE(reader.complete());
    reader.feed("34");
    EXPECT_TRUE(reader.complete());
    EXPECT_EQ(reader.finish(false).body, "01234");

    HttpResponseReader chunked;
    chunked.feed("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n" +
                 kTrickyChunks.substr(0, 14));
    EXPECT_FALSE(chunked.complete());  // "\r\n0\r\n\r\n" inside the data is not the end
    chunked.feed(kTrickyChunks.substr(14));
    EXPECT_TRUE(chunked.complete());

    HttpResponseReader malformed;
    malformed.feed("HTTX/1.1 200 OK\r\n");
    EXPECT_FALSE(malformed.complete());
    malformed.feed("\r\n");
    EXPECT_TRUE(malformed.complete());
    EXPECT_EQ(malformed.finish(false).error, "malformed HTTP response");
}

TEST(HttpResponseReader, VerdictsWhenReadingStops) {
    const std::string head = "HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\n";
    const std::string chunked = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n";
    struct Case {
        std::string bytes;
        bool closed;
        const char* error;
        const char* body;
    };
    const Case cases[] = {
        {"", true, "no HTTP response", ""},
        {"", false, "no HTTP response", ""},
        {"garbage", true, "malformed HTTP response", ""},
        {"HTTP/1.1 200 OK\r\nContent-", true, "malformed HTTP response", ""},
        {"HTTP/1.1 200 OK\r\nContent-", false, "HTTP response timed out", ""},
        {"HTTP/1.1 2\r\n\r\n", true, "malformed HTTP response", ""},
        {"HTTP/1.1 2\r\n\r\n", false, "malformed HTTP response", ""},
        {head + "01234", false, "HTTP response timed out", ""},
        {head + "01234", true, "", "01234"},  // the peer's close ends a short body
        {chunked + "5\r\nhello\r\n", false, "HTTP response timed out", ""},
        {chunked + "5\r\nhello\r\n", true, "", "hello"},              // cut between chunks
        {chunked + "5\r\nhel", true, "malformed HTTP response", ""},  // cut inside a chunk
        {chunked + "5\r\nhello\r\n3", true, "malformed HTTP response", ""},
        {chunked + "q\r\n", false, "malformed HTTP response", ""},
        {"HTTP/1.1 500 Oops\r\n\r\nfault", true, "", "fault"},
    };
    for (const auto& c : cases) {
        const HttpResult result = read_all(c.bytes, c.closed);
        EXPECT_EQ(result.error, c.error) << c.bytes;
        EXPECT_EQ(result.ok, std::string(c.error).empty()) << c.bytes;
        EXPECT_EQ(result.body, c.body) << c.bytes;
    }
    EXPECT_EQ(read_all(std::string(kMaxHttpResponse, 'x'), true).error, "HTTP response too large");
}

// Fed in two pieces split at every offset, or a byte at a time, a response reads as it does
// whole, even where the split falls inside the blank line that ends the head.
TEST(HttpResponseReader, SplitAtEveryOffsetReadsTheSame) {
    const std::string responses[] = {
        "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\n01234",
        "HTTP/1.1 200 OK\nContent-Length: 16\r\n\nX-Fake: 1\r\n\r\nabcdef",
        "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n" + kTrickyChunks,
        "HTTP/1.1 404 Not Found\n\nrest",
        "HTTX/1.1 200 OK\r\n\r\n",
    };
    for (const std::string& text : responses) {
        const HttpResult whole = read_all(text, false);
        for (std::size_t split = 0; split <= text.size(); ++split) {
            HttpResponseReader reader;
            reader.feed(std::string_view(text).substr(0, split));
            reader.feed(std::string_view(text).substr(split));
            const HttpResult result = reader.finish(false);
            EXPECT_EQ(result.error, whole.error) << split << " " << text;
            EXPECT_EQ(result.body, whole.body) << split << " " << text;
        }
        HttpResponseReader trickled;
        for (char c : text)
            trickled.feed(std::string_view(&c, 1));
        EXPECT_EQ(trickled.finish(false).body, whole.body) << text;
    }
}

// A head arriving a byte at a time is searched for its blank line from where the last search
// stopped: the bytes looked at grow with the head, not with its square.
TEST(HttpResponseReader, TheHeadSearchResumesWhereTheLastOneStopped) {
    std::string head = "HTTP/1.1 200 OK\r\n";
    while (head.size() < 32 * 1024)
        head += "X-Padding: " + std::string(60, 'a') + "\r\n";
    head += "Content-Length: 2\r\n\r\nok";
    HttpResponseReader reader;
    for (char c : head)
        reader.feed(std::string_view(&c, 1));
    EXPECT_TRUE(reader.complete());
    EXPECT_EQ(reader.finish(false).body, "ok");
    EXPECT_LE(reader.head_bytes_searched(), 3 * head.size());
}

TEST(HttpResponseReader, EveryPrefixOfAChunkedAnswerIsRefusedOrWholeAtChunkEnds) {
    const std::string full =
        "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n" + kTrickyChunks;
    for (std::size_t size = 0; size < full.size(); ++size) {
        const HttpResult result = read_all(full.substr(0, size), true);
        if (result.ok) {
            // Only a cut between chunks delivers, and then exactly the chunks that arrived.
            EXPECT_TRUE(result.body.empty() || result.body == "ab\r\n0\r\n\r\n" ||
                        result.body == "ab\r\n0\r\n\r\nxyz")
                << size;
        }
        EXPECT_FALSE(read_all(full.substr(0, size), false).ok) << size;
    }
    EXPECT_EQ(read_all(full, false).body, "ab\r\n0\r\n\r\nxyz");
}

}  // namespace
}  // namespace vx::network
