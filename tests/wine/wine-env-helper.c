/* Runs inside a Wine prefix for wine-env.sh; see the notes there.
 *
 *   wine-env-helper.exe hold   Waits until Wine's mount manager has created
 *                              the COM devices, takes every COM name that is
 *                              not mapped in HKLM\Software\Wine\Ports out of
 *                              the device-name list, prints "keep COMn" for
 *                              each name left (in the list's own order) and
 *                              "drop COMn" for each one taken out,
 *                              "missing COMn" for each mapped name the list
 *                              lacks, then "ready", and stays alive until
 *                              its standard input ends.
 *                              The names in $QUILLFIND_WINE_BLUETOOTH
 *                              ("COM3 COM7") are then defined as Bluetooth
 *                              serial links, leading to \Device\BthModem<n>
 *                              as on Windows (a device Wine does not have,
 *                              so they do not open), and listed with the
 *                              others.
 *   wine-env-helper.exe hold N The same, and for as long as it stays, N more
 *                              names in the list that are no port (up to
 *                              46656): 14000 of them make the list longer
 *                              than 64 KiB, as a real Windows machine's can
 *                              be. It checks that the list no longer fits
 *                              64 KiB.
 *
 * Staying alive is the point: the wine server, and with it the pruned list,
 * lives as long as one Windows process of the prefix does, and the mount
 * manager lists the host's serial ports again on every server start.
 */
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

/* Wine ignores port numbers of 256 and more, and a value name longer than
 * six characters stops its reading of the whole Ports key. */
#define MOST_PORTS 255
#define WAIT_FOR_MOUNT_MANAGER_MS 120000

static char names[65536];
static int mapped[MOST_PORTS + 1];
static int listed[MOST_PORTS + 1];

static int comNumber(const char *name) {
    if (_strnicmp(name, "COM", 3) != 0 || name[3] < '1' || name[3] > '9') return 0;
    char *end = NULL;
    long number = strtol(name + 3, &end, 10);
    if (*end != '\0' || number < 1 || number > MOST_PORTS) return 0;
    return (int)number;
}

/* Right after a server start, and with several programs starting side by
 * side, the service manager itself may not answer yet, nor know the mount
 * manager: all of it is retried until the deadline. */
static int mountManagerRunning(void) {
    SC_HANDLE manager = OpenSCManagerA(NULL, NULL, SC_MANAGER_CONNECT);
    if (!manager) return 0;
    SC_HANDLE service = OpenServiceA(manager, "MountMgr", SERVICE_QUERY_STATUS);
    int running = 0;
    if (service) {
        SERVICE_STATUS status;
        running = QueryServiceStatus(service, &status) && status.dwCurrentState == SERVICE_RUNNING;
        CloseServiceHandle(service);
    }
    CloseServiceHandle(manager);
    return running;
}

/* Measured by the clock, not by the sleeps: each query may itself take long
 * while the services start on a loaded machine. */
static int waitForMountManager(void) {
    ULONGLONG start = GetTickCount64();
    for (;;) {
        if (mountManagerRunning()) return 1;
        if (GetTickCount64() - start >= WAIT_FOR_MOUNT_MANAGER_MS) return 0;
        Sleep(50);
    }
}

static void readMappedPorts(void) {
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Wine\\Ports", 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
        return;
    for (DWORD index = 0;; index++) {
        char name[64];
        BYTE value[1024];
        DWORD nameLength = sizeof name, valueSize = sizeof value - 1, type = 0;
        LONG result = RegEnumValueA(key, index, name, &nameLength, NULL, &type, value, &valueSize);
        if (result == ERROR_NO_MORE_ITEMS) break;
        if (result != ERROR_SUCCESS) continue;
        value[valueSize] = 0;
        /* An empty value reserves the number but has no device behind it. */
        int number = comNumber(name);
        if (number != 0 && type == REG_SZ && value[0] != 0) mapped[number] = 1;
    }
    RegCloseKey(key);
}

/* Programs started side by side each run a helper; another one may have
 * removed the name between our listing and our removal. */
static int isGone(const char *name) {
    char target[1024];
    return QueryDosDeviceA(name, target, sizeof target) == 0 && GetLastError() == ERROR_FILE_NOT_FOUND;
}

/* Defines each name of $QUILLFIND_WINE_BLUETOOTH with a raw target, as
 * Microsoft's Bluetooth stack names its serial links. */
static int defineBluetoothLinks(void) {
    char list[1024];
    DWORD length = GetEnvironmentVariableA("QUILLFIND_WINE_BLUETOOTH", list, sizeof list);
    if (length == 0 || length >= sizeof list) return 1;
    int index = 0;
    for (char *name = strtok(list, " "); name != NULL; name = strtok(NULL, " ")) {
        char target[64];
        snprintf(target, sizeof target, "\\Device\\BthModem%d", index++);
        if (comNumber(name) == 0 || !DefineDosDeviceA(DDD_RAW_TARGET_PATH, name, target)) {
            fprintf(stderr, "wine-env-helper: cannot define %s as %s (%lu)\n", name, target, GetLastError());
            return 0;
        }
    }
    return 1;
}

/* Wine 8 keeps only the first four characters of a name it is given to
 * define, so the names are "Q" and three base-36 digits: up to 46656 of
 * them, five bytes each in the list. */
#define MOST_PADDING (36 * 36 * 36)

static void paddingName(int index, char name[5]) {
    static const char digits[] = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ";
    name[0] = 'Q';
    name[1] = digits[index / (36 * 36)];
    name[2] = digits[index / 36 % 36];
    name[3] = digits[index % 36];
    name[4] = '\0';
}

static void unpad(int count) {
    char name[5];
    for (int index = 0; index < count; index++) {
        paddingName(index, name);
        DefineDosDeviceA(DDD_REMOVE_DEFINITION, name, NULL);
    }
}

/* The names last until they are removed or the wine server ends. */
static int pad(int count) {
    char name[5];
    for (int index = 0; index < count; index++) {
        paddingName(index, name);
        if (!DefineDosDeviceA(DDD_RAW_TARGET_PATH, name, "\\Device\\Null")) {
            fprintf(stderr, "wine-env-helper: cannot define %s (%lu)\n", name, GetLastError());
            unpad(index);
            return 0;
        }
    }
    if (QueryDosDeviceA(NULL, names, sizeof names) != 0 || GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
        fprintf(stderr, "wine-env-helper: with %d more names the list still fits %u bytes (%lu)\n", count,
                (unsigned)sizeof names, GetLastError());
        unpad(count);
        return 0;
    }
    return 1;
}

static int hold(int padding) {
    if (!waitForMountManager()) {
        fprintf(stderr, "wine-env-helper: the mount manager did not start\n");
        return 1;
    }
    readMappedPorts();
    DWORD stored = QueryDosDeviceA(NULL, names, sizeof names);
    if (stored == 0) {
        fprintf(stderr, "wine-env-helper: QueryDosDeviceA failed (%lu)\n", GetLastError());
        return 1;
    }
    for (const char *name = names; *name != '\0'; name += strlen(name) + 1) {
        if (_strnicmp(name, "COM", 3) != 0) continue;
        int number = comNumber(name);
        if (number != 0 && mapped[number]) {
            listed[number] = 1;
        } else if (DefineDosDeviceA(DDD_REMOVE_DEFINITION, name, NULL) || isGone(name)) {
            printf("drop %s\n", name);
        } else {
            fprintf(stderr, "wine-env-helper: cannot remove %s (%lu)\n", name, GetLastError());
            return 1;
        }
    }
    if (!defineBluetoothLinks()) return 1;
    /* The list again, for the order in which a program now sees it. */
    stored = QueryDosDeviceA(NULL, names, sizeof names);
    if (stored == 0) {
        fprintf(stderr, "wine-env-helper: QueryDosDeviceA failed (%lu)\n", GetLastError());
        return 1;
    }
    for (const char *name = names; *name != '\0'; name += strlen(name) + 1) {
        if (_strnicmp(name, "COM", 3) == 0) printf("keep %s\n", name);
    }
    for (int number = 1; number <= MOST_PORTS; number++) {
        if (mapped[number] && !listed[number]) printf("missing COM%d\n", number);
    }
    if (padding > 0 && !pad(padding)) return 1;
    printf("ready\n");
    fflush(stdout);
    char buffer[256];
    DWORD count = 0;
    HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    while (ReadFile(input, buffer, sizeof buffer, &count, NULL) && count > 0) {
    }
    unpad(padding);
    return 0;
}

/* Puts a COM name into the device-name list while programs run, as a port
 * that is plugged in does. */
static int define(const char *name, const char *target) {
    if (!DefineDosDeviceA(DDD_RAW_TARGET_PATH, name, target)) {
        fprintf(stderr, "wine-env-helper: cannot define %s (%lu)\n", name, GetLastError());
        return 1;
    }
    return 0;
}

int main(int argc, char **argv) {
    if (argc == 2 && strcmp(argv[1], "hold") == 0) return hold(0);
    if (argc == 3 && strcmp(argv[1], "hold") == 0 && atoi(argv[2]) > 0 && atoi(argv[2]) <= MOST_PADDING)
        return hold(atoi(argv[2]));
    if (argc == 4 && strcmp(argv[1], "define") == 0) return define(argv[2], argv[3]);
    fprintf(stderr, "usage: wine-env-helper.exe hold [N] | define COMn TARGET\n");
    return 2;
}
