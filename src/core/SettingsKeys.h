// Every section and key of the settings file, with the type of its value, in one place.
// Readers pass their own default, so defaults live with each reader, not here.
#pragma once

#include <string>
#include <string_view>

namespace kestrill {

template <class T>
struct TSettingKey {
  std::string_view Section;
  std::string_view Key;
};

namespace keys {

// General: window layout and list sizes.
inline constexpr TSettingKey<int> Left{"General", "Left"};
inline constexpr TSettingKey<int> Top{"General", "Top"};
inline constexpr TSettingKey<int> Width{"General", "Width"};
inline constexpr TSettingKey<int> Height{"General", "Height"};
inline constexpr TSettingKey<double> FontSize{"General", "FontSize"};  // edited by hand only
inline constexpr TSettingKey<double> LeftLayoutWidth{"General", "LeftLayoutWidth"};
inline constexpr TSettingKey<bool> Sidebar{"General", "Sidebar"};
inline constexpr TSettingKey<int> MaxFileCount{"General", "MaxFileCount"};  // by hand only

// Model: the provider selector and each provider's key and model.
inline constexpr TSettingKey<int> Selected{"Model", "Selected"};
inline constexpr TSettingKey<std::string> GeminiKey{"Model", "GeminiKey"};
inline constexpr TSettingKey<std::string> GeminiModel{"Model", "GeminiModel"};
inline constexpr TSettingKey<std::string> OpenAIKey{"Model", "OpenAIKey"};
inline constexpr TSettingKey<std::string> OpenAIModel{"Model", "OpenAIModel"};
inline constexpr TSettingKey<std::string> ClaudeKey{"Model", "ClaudeKey"};
inline constexpr TSettingKey<std::string> ClaudeModel{"Model", "ClaudeModel"};
inline constexpr TSettingKey<std::string> DeepseekKey{"Model", "DeepseekKey"};
inline constexpr TSettingKey<std::string> DeepseekModel{"Model", "DeepseekModel"};
inline constexpr TSettingKey<std::string> OllamaURL{"Model", "OllamaURL"};
inline constexpr TSettingKey<std::string> OllamaModel{"Model", "OllamaModel"};
// Most megabytes one model reply may bring, streamed or not (edited by hand; 32 when absent).
inline constexpr TSettingKey<int> MaxReplyMB{"Model", "MaxReplyMB"};

// Bot: the mode selector (0 chatbot, 1 agent).
inline constexpr TSettingKey<int> Mode{"Bot", "Mode"};
// Most model requests in one agent turn (edited by hand; 25 when absent).
inline constexpr TSettingKey<int> MaxIterations{"Bot", "MaxIterations"};
// Longest time in seconds one model request may take in all (edited by hand; 300 when absent).
inline constexpr TSettingKey<int> RequestTimeout{"Bot", "RequestTimeout"};
// Replies shown while they stream in (off when absent).
inline constexpr TSettingKey<bool> Stream{"Bot", "Stream"};
// "수치 확인 표시": the figures of agent answers marked by whether the tool results back them.
inline constexpr TSettingKey<bool> FigureMarks{"Bot", "FigureMarks"};

// Tools: keys and switches of the agent's tools.
inline constexpr TSettingKey<std::string> WebSearchKey{"Tools", "WebSearchKey"};
inline constexpr TSettingKey<std::string> DARTKey{"Tools", "DARTKey"};
inline constexpr TSettingKey<std::string> KRXKey{"Tools", "KRXKey"};
inline constexpr TSettingKey<bool> UseDaishin{"Tools", "UseDaishin"};
inline constexpr TSettingKey<bool> Command{"Tools", "Command"};  // edited by hand only
// Most megabytes one tool's reply (market data, web search) may bring (edited by hand; 8 when
// absent).
inline constexpr TSettingKey<int> MaxToolBodyMB{"Tools", "MaxToolBodyMB"};

}  // namespace keys
}  // namespace kestrill
