// Fixed identity of this agent build as the gateway sees it.
#pragma once

namespace agent_identity {

constexpr const char* kPlatform = "win64";
// The one declaration of the version: CMakeLists.txt and scripts/package read this line.
constexpr const char* kVersion = "4.02.14";
// The gateway keys its protocol handling on these two, not on the real build time.
constexpr const char* kBuildDate = "Apr 21 2017";
constexpr const char* kBuildTime = "12:37:47";

constexpr const char* kDefaultGatewayHost = "gateway.halvren.example";
constexpr const char* kDefaultGatewayPath = "/fcgi-bin/agentgateway";
constexpr unsigned kDefaultGatewayPort = 443;
constexpr const char* kUserAgent = "Mozilla/5.0 (compatible; Halvren; https://www.halvren.example/agent)";

}  // namespace agent_identity
