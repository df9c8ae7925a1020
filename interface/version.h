/* The one place the version lives. CMake reads the two numbers with a regex, the resource script
 * and GetDllVersion take all three from here, so keep it to plain #defines. */
#ifndef NORVAT_VERSION_H
#define NORVAT_VERSION_H

#define NORVAT_VERSION_MAJOR 1
#define NORVAT_VERSION_MINOR 3
/* Reported by GetDllVersion: 15 characters, so it fills a 16-byte host buffer exactly. Hosts
 * compare it as it stands, so it keeps the text of the ten exports' release whatever the
 * package version says. */
#define NORVAT_VERSION_TEXT "Ver1.2 2011/8/1"

#endif
