/* Steps of libksysconfig shared between its parts, and the hooks its
 * tests need. Not installed. */
#ifndef KORVEX_SYSCONFIG_INTERNAL_H
#define KORVEX_SYSCONFIG_INTERNAL_H

#include <stdio.h>

#include <korvex/sysconfig.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Room for the keys directory and for a key's status file path,
 * terminator included. */
#define KX_SYSCONFIG_PATH_MAX 4096

/* 0 for a usable key, -1 (after logging why) otherwise. */
KX_EXPORT int check_key_sanity(const char *key);

/* The keys directory, filled with the default when it is empty. */
const char *sysconfig_keys_dir(void);

/* Body of kx_sysconfig_set_configured. */
KX_EXPORT uint32_t set_key(const char *key, const char *contents);

/* Runners; exactly one of uri and text is given. */
KX_EXPORT int run_augeas(const char *uri, const char *text, const char *key,
                         kx_sysconfig_cb callback, void *user_data);
KX_EXPORT int run_puppet(const char *uri, const char *text, const char *key,
                         kx_sysconfig_cb callback, void *user_data);

/* Asks the installed puppet for its major version: 0 and *major set, or 4.
 * The answer is kept for as long as the same program is found as
 * "puppet" on the search path. */
KX_EXPORT int check_puppet(unsigned int *major);

/* The major version in what "puppet --version" printed (a text, read up to
 * its terminator): 0 and *major set, or 4 after logging why. */
KX_EXPORT int parse_puppet_version(const char *output, unsigned int *major);

/* Fetches uri into stream (left open, flushed and unrewound). 0 when the
 * whole document arrived; 3 for a failed transfer, an HTTP/FTP response
 * outside 200..299, a document larger than 64 MiB or a download that took
 * longer than 10 minutes; 6 when the transfer could not be set up or the
 * document could not be written to the stream. */
KX_EXPORT int sysconfig_os_download(const char *uri, FILE *stream);

/* Whether a download of uri must end with a 2xx response code: URIs of
 * HTTP(S) and FTP(S), whatever the case of the scheme. */
KX_EXPORT int download_checks_response_code(const char *uri);

/* Tests only: shortens the limits that stop a download or the puppet
 * version check from holding the agent: the connection time, the time a
 * transfer may stall, the time a whole download may take, the size of a
 * document and the time "puppet --version" may take. A value of 0 or
 * less restores the production default of that limit. */
KX_EXPORT void kx_sysconfig_download_limits_set(long connect_timeout_s, long low_speed_time_s,
                                                long total_time_s, long max_bytes,
                                                long version_check_s);

#ifdef __cplusplus
}

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

/* The folder that holds the side files of status writes: the keys
 * directory, or the folder of its prefix when it does not end in "/". */
std::string status_side_dir();

/* Current limits of downloads and of the version check. */
struct SysconfigLimits {
    long connect_timeout_s;
    long low_speed_time_s;
    long total_time_s;
    long max_document_bytes;
    long version_check_s;
};
const SysconfigLimits &sysconfig_limits();

namespace korvex::sysconfig {

// The steps above, able to say why they fail: when they do, *reason (if
// given) holds it in plain words for the administrator, quoting at most
// 256 bytes of what the caller sent, escaped as the log escapes it. They
// log as the steps above do, with the reason added to their lines.
KX_EXPORT int check_key_sanity(const char *key, std::string *reason);
uint32_t set_key(const char *key, const char *contents, std::string *reason);
int run_augeas(const char *uri, const char *text, const char *key, kx_sysconfig_cb callback,
               void *user_data, std::string *reason);
int run_puppet(const char *uri, const char *text, const char *key, kx_sysconfig_cb callback,
               void *user_data, std::string *reason);
// With `version`, also the whole version puppet printed ("7.23.0").
int check_puppet(unsigned int *major, std::string *reason, std::string *version = nullptr);
int sysconfig_os_download(const char *uri, FILE *stream, std::string *reason);

// A run request as kx_sysconfig_run_uri (uri given) or
// kx_sysconfig_run_string (text given) makes it, with the same completion
// contract; whenever the result is not 0, *reason (if given) says why.
KX_EXPORT uint32_t run_document(const char *uri, const char *text, uint32_t flags,
                                const char *scheme, const char *key, kx_sysconfig_cb callback,
                                void *user_data, std::string *reason);

// Why `scheme` is none of the two.
KX_EXPORT std::string scheme_reason(const char *scheme);

// One configured key as the keys list shows it: its outcome line ("OK",
// "FAILED 4", "FAILED -1", "ERROR" or "(empty)") and when its status was
// last written (Unix seconds).
struct KeyEntry {
    std::string key;
    std::string outcome;
    int64_t when;
};

// The most keys a list holds.
inline constexpr size_t keys_listed_max = 10000;

// Every key with a status, sorted by key: 0 and entries set (empty when
// nothing was ever stored), or a result code with *reason set: 4 when
// there are more than keys_listed_max of them, 6 when the keys folder
// cannot be read. Files of the folder that are no key's status are left
// out and logged, once while they stay the same.
KX_EXPORT uint32_t list_keys(std::vector<KeyEntry> &entries, std::string *reason = nullptr);

// The entry of one key, or nothing when it has no status.
KX_EXPORT std::optional<KeyEntry> key_entry(const char *key);

} // namespace korvex::sysconfig
#endif

#endif
