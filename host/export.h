// What libqrvxhost.so shows to plug-ins and to the app. The library is built with hidden
// visibility, so only the classes and functions marked QRVX_HOST_API are in its dynamic
// symbol table; everything else stays inside the library.
#pragma once

#define QRVX_HOST_API __attribute__((visibility("default")))
