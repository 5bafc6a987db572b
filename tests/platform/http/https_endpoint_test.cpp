#include "platform/http/https_endpoint.hpp"

#include <gtest/gtest.h>

namespace veltrano::platform {
namespace {

TEST(ParseHttpsUrl, ReadsHostPortAndPath) {
  EXPECT_EQ(parseHttpsUrl("https://metrics.veltrano.example/veltrano/v1/metrics"),
            (HttpsEndpoint{"metrics.veltrano.example", 443, "/veltrano/v1/metrics"}));
  EXPECT_EQ(parseHttpsUrl("HTTPS://127.0.0.1:8443/a?b=c#frag"), (HttpsEndpoint{"127.0.0.1", 8443, "/a?b=c"}));
  EXPECT_EQ(parseHttpsUrl("https://host"), (HttpsEndpoint{"host", 443, "/"}));
  EXPECT_EQ(parseHttpsUrl("https://host?x=1"), (HttpsEndpoint{"host", 443, "/?x=1"}));
  EXPECT_EQ(parseHttpsUrl("https://[::1]:9443/p"), (HttpsEndpoint{"::1", 9443, "/p"}));
}

TEST(ParseHttpsUrl, RefusesWhatItCannotUse) {
  for (const char* url : {"http://host/", "https://", "https:///path", "https://host:/", "https://host:0/",
                          "https://host:65536/", "https://host:12a/", "https://user@host/", "https://ho st/",
                          "https://[::1/", "https://[::1]x/", "ftp://host", "https://host/\xc3\xa9"}) {
    EXPECT_EQ(parseHttpsUrl(url), std::nullopt) << url;
  }
}

}  // namespace
}  // namespace veltrano::platform
