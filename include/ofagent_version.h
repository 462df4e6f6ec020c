/* The release of ofagent these headers belong to, for compile-time checks by a host. Macros
 * only: the library exports no version symbol. The build reads its project version from here,
 * so this is the one place a release changes it. */
#ifndef OFAGENT_VERSION_H
#define OFAGENT_VERSION_H

#define OFAGENT_VERSION_MAJOR 0
#define OFAGENT_VERSION_MINOR 1
#define OFAGENT_VERSION_PATCH 0

#define OFAGENT_VERSION_STR_(x) #x
#define OFAGENT_VERSION_STR(x) OFAGENT_VERSION_STR_(x)
/* "MAJOR.MINOR.PATCH", built from the three numbers so that it cannot disagree with them. */
#define OFAGENT_VERSION_STRING                 \
    OFAGENT_VERSION_STR(OFAGENT_VERSION_MAJOR) \
    "." OFAGENT_VERSION_STR(OFAGENT_VERSION_MINOR) "." OFAGENT_VERSION_STR(OFAGENT_VERSION_PATCH)
/* One comparable number: 0x00MMmmpp (OFAGENT_VERSION_NUMBER >= 0x000100 means 0.1.0 or later). */
#define OFAGENT_VERSION_NUMBER \
    ((OFAGENT_VERSION_MAJOR << 16) | (OFAGENT_VERSION_MINOR << 8) | OFAGENT_VERSION_PATCH)

#endif /* OFAGENT_VERSION_H */
