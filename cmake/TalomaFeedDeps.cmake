# The market-data receiver's libraries: libmosquitto (MQTT) and msgpack-c, found like the
# other dependencies (Taloma::mosquitto, Taloma::msgpackc; MOSQUITTO_INCLUDE_DIR, MOSQUITTO_LIBRARY,
# MSGPACK_INCLUDE_DIR, MSGPACK_LIBRARY override the search).
include(TalomaDeps)
taloma_require_dep(Taloma::mosquitto "libmosquitto (MQTT client)" mosquitto.h mosquitto
                   MOSQUITTO_INCLUDE_DIR MOSQUITTO_LIBRARY libmosquitto-dev)
taloma_require_dep(Taloma::msgpackc "msgpack-c (MessagePack)" msgpack.h msgpackc
                   MSGPACK_INCLUDE_DIR MSGPACK_LIBRARY libmsgpack-dev)
