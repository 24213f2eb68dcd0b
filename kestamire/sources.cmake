set(KESTAMIRE_SOURCES
    kestamire/kestamire_bindings.cpp
)
