/* Every public header of the library and of the reference host platform. */
#include <ghash.h>
#include <ofagent_export.h>
#include <ofagent_version.h>
#include <ofclient.h>
#include <ofconn.h>
#include <oflog.h>
#include <ofmsg.h>
#include <ofplatform.h>
#include <ofserver.h>
#include <ofsocket.h>
#include <oftunnel.h>
#include <ofhost.h>
#include <ofpcap.h>
