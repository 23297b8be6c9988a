#pragma once

#include <sys/types.h>

#include <string>

// What the exporter's benchmarks share: plain requests, a look at a process in /proc, and
// web configurations with a certificate and a password.

// GET `path` from host:port over a fresh connection; the body, empty on failure (or
// after 10 s without a byte).
std::string HttpGet(const std::string& host, int port, const std::string& path);
long ReadRssKb(pid_t pid);
size_t CountDescriptors(pid_t pid);
size_t CountThreads(pid_t pid);

// In `folder`: a CA (ca.crt) and a certificate for 192.0.2.1 with `tls`, and web.yml with
// user "bench" (password "bench", bcrypt at `cost`), over HTTPS when `tls`. False when
// openssl or crypt(3) failed.
bool MakeWebConfig(const std::string& folder, bool tls, int cost);

// One scrape of 192.0.2.1:19376 over a fresh connection from this namespace: with an
// empty `folder` a plain GET in process; else a curl, with the password, over HTTPS with
// the folder's CA when `tls` (its start included). True when it brought a 200.
bool ScrapeOnce(const std::string& folder, bool tls = true);
