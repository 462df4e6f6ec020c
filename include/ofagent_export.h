/* Symbol visibility for the ofagent library: only names marked OFAGENT_API are exported. */
#ifndef OFAGENT_EXPORT_H
#define OFAGENT_EXPORT_H

#if defined(__GNUC__) || defined(__clang__)
#define OFAGENT_API __attribute__((visibility("default")))
#define OFAGENT_PRINTF(fmt, args) __attribute__((format(printf, fmt, args)))
#else
#define OFAGENT_API
#define OFAGENT_PRINTF(fmt, args)
#endif

#ifdef __cplusplus
#define OFAGENT_BEGIN_DECLS extern "C" {
#define OFAGENT_END_DECLS }
#else
#define OFAGENT_BEGIN_DECLS
#define OFAGENT_END_DECLS
#endif

#endif /* OFAGENT_EXPORT_H */
