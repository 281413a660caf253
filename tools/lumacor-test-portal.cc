// Standalone test portal for the demo and end-to-end runs. Listens on
// 127.0.0.1 and answers POST .../xml/receber with 200 {"status":"recebido"}
// unless told otherwise.
//
//   lumacor-test-portal [--port N] [--tls --cert FILE] [--record FILE]
//                       [--port-file FILE] [--status N] [--body TEXT]
//
// Prints the port on the first line of standard output once it listens.
// Admin endpoints:
//   POST /_mode {"status":500,"body":"...","never":false,"location":"",
//                "path":"","retry_after":""}
//                              changes the answer to receber ("never": hold
//                              the request unanswered until the next /_mode;
//                              "location": a Location header, "" for none;
//                              "path": only requests to this exact path get
//                              the answer, the others the normal one, "" for
//                              all; "retry_after": a Retry-After header;
//                              "drip_ms": one byte of body every N ms, without
//                              end; off unless given in this /_mode).
//                              Every /_mode ends the requests held so far.
//   GET of any other path      200 with an HTML page, as a web server would
//   GET or POST /_requests     JSON array of what was received
// Each received document request is also appended to --record as one JSON
// line {"method","path","headers":{...},"body"}. Ends on SIGINT or SIGTERM.
#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <mutex>
#include <string>

#include "tools/TestPortal.h"

using lumacor::testing::PortalAnswer;
using lumacor::testing::PortalTls;
using lumacor::testing::RecordedRequest;
using lumacor::testing::TestPortal;

namespace {

void WriteRequest(rapidjson::Writer<rapidjson::StringBuffer>& w, const RecordedRequest& r) {
  w.StartObject();
  w.Key("method");
  w.String(r.method.c_str(), static_cast<rapidjson::SizeType>(r.method.size()));
  w.Key("path");
  w.String(r.path.c_str(), static_cast<rapidjson::SizeType>(r.path.size()));
  w.Key("headers");
  w.StartObject();
  for (const auto& [k, v] : r.headers) {
    w.Key(k.c_str(), static_cast<rapidjson::SizeType>(k.size()));
    w.String(v.c_str(), static_cast<rapidjson::SizeType>(v.size()));
  }
  w.EndObject();
  w.Key("body");
  w.String(r.body.c_str(), static_cast<rapidjson::SizeType>(r.body.size()));
  w.EndObject();
}

std::string RequestJson(const RecordedRequest& r) {
  rapidjson::StringBuffer sb;
  rapidjson::Writer<rapidjson::StringBuffer> w(sb);
  WriteRequest(w, r);
  return sb.GetString();
}

bool IsAdmin(const RecordedRequest& r) { return r.path.rfind("/_", 0) == 0; }

int Usage() {
  std::fprintf(stderr,
               "uso: lumacor-test-portal [--port N] [--tls --cert FILE] [--record FILE]\n"
               "                         [--port-file FILE] [--status N] [--body TEXT]\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  int port = 0;
  bool tls = false;
  std::string cert_path, record_path, port_file;
  PortalAnswer mode;
  std::string mode_path, retry_after, location;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto next = [&]() -> std::string { return i + 1 < argc ? argv[++i] : ""; };
    if (a == "--port")
      port = std::atoi(next().c_str());
    else if (a == "--tls")
      tls = true;
    else if (a == "--cert")
      cert_path = next();
    else if (a == "--record")
      record_path = next();
    else if (a == "--port-file")
      port_file = next();
    else if (a == "--status")
      mode.status = std::atoi(next().c_str());
    else if (a == "--body")
      mode.body = next();
    else
      return Usage();
  }
  if (tls && cert_path.empty()) return Usage();

  // Signals go to sigwait below, not to the server threads.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);

  std::mutex mu;
  TestPortal portal(tls ? PortalTls::kTls : PortalTls::kNone, port);
  portal.SetHandler([&](const RecordedRequest& req) {
    std::lock_guard<std::mutex> lock(mu);
    if (req.method == "POST" && req.path == "/_mode") {
      rapidjson::Document d;
      d.Parse(req.body.c_str());
      if (d.HasParseError() || !d.IsObject())
        return PortalAnswer::Status(400, "{\"erro\":\"JSON inválido\"}");
      if (d.HasMember("status") && d["status"].IsInt()) mode.status = d["status"].GetInt();
      if (d.HasMember("body") && d["body"].IsString()) mode.body = d["body"].GetString();
      if (d.HasMember("location") && d["location"].IsString()) location = d["location"].GetString();
      if (d.HasMember("retry_after") && d["retry_after"].IsString()) {
        retry_after = d["retry_after"].GetString();
      }
      mode.headers.clear();
      if (!location.empty()) mode.headers.emplace_back("Location", location);
      if (!retry_after.empty()) mode.headers.emplace_back("Retry-After", retry_after);
      if (d.HasMember("path") && d["path"].IsString()) mode_path = d["path"].GetString();
      // Left out, it is off again: a drip must not outlive its test.
      mode.drip_interval_ms =
          d.HasMember("drip_ms") && d["drip_ms"].IsInt() ? d["drip_ms"].GetInt() : 0;
      if (d.HasMember("never") && d["never"].IsBool()) {
        mode.action = d["never"].GetBool() ? PortalAnswer::kNeverAnswer : PortalAnswer::kRespond;
      }
      portal.ReleaseHeld();
      return PortalAnswer::Status(200, "{\"ok\":true}");
    }
    // POST too, for clients that can only post (the agent's own).
    if ((req.method == "GET" || req.method == "POST") && req.path == "/_requests") {
      std::string out = "[";
      for (const RecordedRequest& r : portal.Requests()) {
        if (IsAdmin(r)) continue;
        if (out.size() > 1) out += ',';
        out += RequestJson(r);
      }
      return PortalAnswer::Status(200, out + "]");
    }
    PortalAnswer answer = lumacor::testing::DefaultPortalAnswer(req);
    bool document = req.method == "POST" && answer.status == 200;
    if (document && (mode_path.empty() || req.path == mode_path)) answer = mode;
    if (!record_path.empty()) {
      std::ofstream(record_path, std::ios::app | std::ios::binary) << RequestJson(req) << '\n';
    }
    return answer;
  });
  if (tls) std::ofstream(cert_path, std::ios::binary | std::ios::trunc) << portal.CertificatePem();
  if (!port_file.empty()) std::ofstream(port_file, std::ios::trunc) << portal.port() << '\n';
  std::cout << portal.port() << std::endl;

  int sig = 0;
  sigwait(&stop_signals, &sig);
  return 0;
}
