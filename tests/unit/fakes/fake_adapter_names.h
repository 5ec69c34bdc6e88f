// The adapter names played back from recorded sets, one per call (the last
// repeats); a set may stand for a failed query, with its line.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "platform/adapter_names.h"

class FakeAdapterNames : public IAdapterNames {
 public:
  struct Answer {
    std::vector<std::string> names;
    std::string failure;  // non-empty: the query failed with this line
  };
  bool List(std::vector<std::string>& names, const std::function<void(const std::string&)>& log) override {
    Answer a;
    {
      std::lock_guard<std::mutex> lock(m_lock);
      if (m_answers.empty()) return names.clear(), true;
      a = m_answers.size() > 1 ? m_answers.front() : m_answers.back();
      if (m_answers.size() > 1) m_answers.erase(m_answers.begin());
    }
    names.clear();
    if (!a.failure.empty()) {
      log(a.failure);
      return false;
    }
    names = a.names;
    return true;
  }
  void Queue(std::vector<Answer> answers) {
    std::lock_guard<std::mutex> lock(m_lock);
    m_answers = std::move(answers);
  }

 private:
  std::mutex m_lock;
  std::vector<Answer> m_answers;
};
