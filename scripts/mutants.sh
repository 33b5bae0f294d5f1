#!/usr/bin/env bash
# The project's mutation check: plants realistic slips in a copy of the tree, one at a time, and
# runs the whole suite against each. A slip the suite lets through (SURVIVED) is a fault no test
# would catch; "not applied" means its pattern no longer matches the code and the list needs
# mending. Not part of CI: about 20 minutes on 2 cores.
#
#   scripts/mutants.sh [regex]     only the slips whose line matches regex
#
# MUTANTS_DIR (default /tmp/unitflash-mutants) holds the copy and its build; MUTANTS_JOBS (2)
# and MUTANTS_TIMEOUT (60 s per test) set the pace. MUTANTS_CHECK=1 only says which slips still
# apply, without building. The exit status is 0 when every slip that applied was caught.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
work=${MUTANTS_DIR:-/tmp/unitflash-mutants}
jobs=${MUTANTS_JOBS:-2}
timeout=${MUTANTS_TIMEOUT:-60}
only=${1:-}

# One copy of the tracked tree (the working copy, uncommitted changes included), built once;
# each slip then rebuilds only what it touches. New file times (-m): a rerun in the same folder
# rebuilds what the last slip of the previous run left built.
mkdir -p "$work/src"
(cd "$root" && git ls-files -z | tar --null -T - -cf -) | tar -xmf - -C "$work/src"
build_copy() {
    local launcher=()
    if command -v ccache >/dev/null; then
        launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
    fi
    cmake -S "$work/src" -B "$work/build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DUNITFLASH_BENCH=OFF "${launcher[@]}" >/dev/null || exit 1
    echo "=== building the copy"
    ninja -C "$work/build" -j "$jobs" >"$work/build.log" 2>&1 ||
        { tail -20 "$work/build.log"; exit 1; }
    echo "=== the suite without slips"
    # A test that fails without any slip (one slowed by a loaded machine) runs once more before
    # the run gives up.
    (cd "$work/build" && { ctest -j "$jobs" --timeout "$timeout" >"$work/ctest.log" 2>&1 ||
        ctest --rerun-failed --timeout "$timeout" >>"$work/ctest.log" 2>&1; }) ||
        { grep -A20 'tests failed' "$work/ctest.log"; echo "the suite fails without slips" >&2; exit 1; }
}
[ -n "${MUTANTS_CHECK:-}" ] || build_copy

killed=0 survived=0 unapplied=0 broken=0 applied=0
survivors=()
while IFS= read -r line; do
    case $line in '' | '#'*) continue ;; esac
    if [ -n "$only" ] && ! grep -qE -- "$only" <<<"$line"; then
        continue
    fi
    file=${line%% @@ *}
    rest=${line#* @@ }
    expr=${rest%% @@ *}
    what=${rest#* @@ }
    target="$work/src/$file"
    if [ ! -f "$target" ]; then
        printf '%-12s %s: %s (no such file)\n' "not applied" "$file" "$what"
        unapplied=$((unapplied + 1))
        continue
    fi
    cp "$target" "$work/original"
    perl -0777 -i -pe "$expr" "$target"
    if cmp -s "$target" "$work/original"; then
        printf '%-12s %s: %s\n' "not applied" "$file" "$what"
        unapplied=$((unapplied + 1))
        continue
    fi
    if [ -n "${MUTANTS_CHECK:-}" ]; then
        cat "$work/original" >"$target"
        printf '%-12s %s: %s\n' applies "$file" "$what"
        applied=$((applied + 1))
        continue
    fi
    verdict=SURVIVED
    if ! ninja -C "$work/build" -j "$jobs" >"$work/slip-build.log" 2>&1; then
        verdict="no build"
    elif ! (cd "$work/build" &&
        ctest -j "$jobs" --timeout "$timeout" --stop-on-failure >"$work/slip-ctest.log" 2>&1); then
        verdict=killed
        # A failure that does not repeat (a test slowed by a loaded machine) proves nothing:
        # then the whole suite decides.
        if (cd "$work/build" && ctest --rerun-failed --timeout "$timeout" >/dev/null 2>&1) &&
            (cd "$work/build" && ctest -j "$jobs" --timeout "$timeout" >"$work/slip-ctest.log" 2>&1); then
            verdict=SURVIVED
        fi
    fi
    # Restored with a fresh time stamp, so that the next build compiles it again (from ccache).
    cat "$work/original" >"$target"
    case $verdict in
        killed)
            by=$(head -1 "$work/build/Testing/Temporary/LastTestsFailed.log" 2>/dev/null)
            printf '%-12s %s: %s [%s]\n' killed "$file" "$what" "${by#*:}"
            killed=$((killed + 1))
            ;;
        SURVIVED)
            printf '%-12s %s: %s\n' SURVIVED "$file" "$what"
            survivors+=("$file: $what")
            survived=$((survived + 1))
            ;;
        *)
            printf '%-12s %s: %s\n' "$verdict" "$file" "$what"
            broken=$((broken + 1))
            ;;
    esac
done <<'SLIPS'
# file @@ perl substitution on the whole file (the first match only) @@ what the slip breaks

# app/: the command line, the update sequence, settings files, signals
app/Application.cpp @@ s/\Qreturn dfu::returnToNormalOperation(selection.port);\E/return dfu::returnToNormalOperation({});/ @@ --resume ignores --port
app/Application.cpp @@ s/\Qsettings = SettingsHandling::kRestoreOnly;\E/settings = SettingsHandling::kBackUpAndRestore;/ @@ --no-backup still writes a backup
app/Application.cpp @@ s/\Qif (parser.isSet("export")) {\E/if (parser.isSet("export") && !parser.isSet("import")) {/ @@ --import wins over --export
platform/Interrupt.cpp @@ s/\Qif (previous[i].sa_handler != SIG_IGN) {\E/if (true) {/ @@ a SIGHUP that nohup ignored is caught again
platform/Interrupt.cpp @@ s/\Qstd::raise(signalNumber);\E// @@ a second Ctrl-C no longer ends the tool at once
app/UnitSession.cpp @@ s/\Qselection_.pinned = found;\E// @@ the unit a run found is not pinned for its later steps
app/UnitSession.cpp @@ s/\Qif (others.size() < 2) {\E/if (others.size() < 3) {/ @@ no warning when two units are attached
app/UnitSession.cpp @@ s/\Qif (denied.accessDenied()) {\E/if (!denied.accessDenied()) {/ @@ the udev advice is given for the wrong failures
app/UnitSession.cpp @@ s/\Qattempt < 200 && !platform::interruptRequested\E/attempt < 200/ @@ an interrupted wait for the unit goes on waiting
app/UnitSession.cpp @@ s/\Q    transport_.commit();\E// @@ the unit is not told to save what was imported
app/UnitSession.cpp @@ s/\QqCritical(failure, qUtf8Printable(selection_.portText));\E/qCritical(failure, qUtf8Printable(selection_.placeText()));/ @@ a connection failure names the place looked at, not the port as typed
app/UnitSession.cpp @@ s/\Q    } catch (const std::exception& e) {\E\s*\QloadFailure_ = e.what();\E/    } catch (const std::logic_error& e) {\n        loadFailure_ = e.what();/ @@ a link failure while the values are read escapes the command
app/UnitSession.cpp @@ s/\Q        selection_.pinned = reached;\E// @@ a unit found but not read is not taken as the unit's place
app/UnitSession.cpp @@ s/\Q        unsent = e.what();\E// @@ a failed store of imported settings is reported as a success
app/UpdateSequence.cpp @@ s/\Q        pinBootloader(run.selection);\E// @@ a boot loader already at the chosen place is not pinned to be programmed
app/UpdateSequence.cpp @@ s/\Qreturn !run.backupFile.isEmpty();\E/return true;/ @@ the update goes on when the backup failed
app/UpdateSequence.cpp @@ s/\Qif (!discard && settingsFile.isEmpty()) {\E/if (!discard && !settingsFile.isEmpty()) {/ @@ settings kept only in memory are not rescued
app/UpdateSequence.cpp @@ s/\Q        run.stage = Stage::kTriggered;\E// @@ no recovery advice for a unit sent to its boot loader
app/UpdateSequence.cpp @@ s/\Q? Stage::kCameBack : Stage::kNotBack\E/? Stage::kNotBack : Stage::kCameBack/ @@ a unit that did not come back is said to run without its settings
app/UpdateSequence.cpp @@ s/\Qconstexpr int kComeBackLooks = 50;\E/constexpr int kComeBackLooks = 1;/ @@ a unit interrupted while it restarts is said not to have come back
app/UpdateSequence.cpp @@ s/\Q    leaveOnlyTheUnitsBootloader(run.selection);\E// @@ a unit whose settings could not be read is left in its boot loader
app/UpdateSequence.cpp @@ s/\QfirstDfuDeviceOn(loaders, found).has_value()\E/!loaders.isEmpty()/ @@ another unit's boot loader is made to leave when the update is given up
app/UpdateSequence.cpp @@ s/\Qif (!run.unreadable.empty()) {\E/if (false) {/ @@ a unit found but not read gets no word of what keeps its settings
app/UpdateSequence.cpp @@ s/try \{\s*(done = step\.run\(run\);)\s*\}\s*catch[^}]*\}/$1/ @@ what a step throws ends the update without saving the settings or advice
app/UpdateSequence.cpp @@ s/\Q? Outcome::kInterrupted\E/? Outcome::kFailed/ @@ an interrupt is taken for a failure
app/UpdateRecovery.cpp @@ s/\Qpartly written",\E\s*\Q{{"--discard-settings", firmwareFile}}};\E/partly written", {{"--resume"}}};/ @@ a possibly erased unit is told to resume
app/UpdateRecovery.cpp @@ s/\Qquote = quote || !plain.contains(c);\E/quote = quote || c == ' ';/ @@ recovery commands quote only blanks
app/SettingsFile.cpp @@ s/\Qif (version.empty()) {\E/if (!version.empty()) {/ @@ the backup name takes the firmware version over the VIO one
app/SettingsFile.cpp @@ s/\Qrefused = "\/\E/refused = "/ @@ a slash in a unit's text steers the backup file elsewhere
app/SettingsFile.cpp @@ s/\Q:*?\"<>|";\E/";/ @@ a backup name keeps the characters Windows refuses in names
app/SettingsFile.cpp @@ s/\Q!S_ISREG(status.st_mode) && \E// @@ a plain file is written into instead of replaced
app/SettingsFile.cpp @@ s/\Qcomplete = complete && saveFile->commit();\E/saveFile->commit();/ @@ a short write replaces the old file
app/ConsoleLog.cpp @@ s/\Qif (outputLost && important)\E/if (false)/ @@ with standard output gone, the recovery commands reach nobody
app/DeviceList.cpp @@ s/\QdescribeUnit(place, where);\E// @@ the verbose listing does not describe the units
app/DeviceList.cpp @@ s/\Qif (!dfu::dfuDevicePort(loader).isAny()) {\E/if (dfu::dfuDevicePort(loader).isAny()) {/ @@ the verbose listing leaves the boot loaders out
app/UpdateSequence.cpp @@ s/(\Qrun.firmwareAfter = unit.model().valueText(kFirmwareVersionSetting, "");\E)\s*(\Qconst bool ok = unit.model().importJson(run.keptText);\E)/$2\n    $1/ @@ the version after the update is read back from the imported settings
app/UpdateSequence.cpp @@ s/\Q    reportUpdated(run);\E// @@ a successful update ends without its final line
app/UpdateSequence.cpp @@ s/\Qreturn !run.skipUnchanged ||\E/return run.skipUnchanged ||/ @@ the flash is compared without --skip-unchanged and not with it

# dfu/: finding the boot loader, the runner, the update steps
dfu/FindDfuDevices.cpp @@ s/\Q} else if (port.isAny() && devices.size() > 1) {\E/} else if (port.isAny() && devices.size() > 2) {/ @@ no warning when two boot loaders are present
dfu/FirmwareUpdate.cpp @@ s/\Quint64_t(before.address) + before.size > after.address\E/uint64_t(before.address) + before.size >= after.address/ @@ touching .dfu elements refused as overlapping
dfu/FirmwareUpdate.cpp @@ s/\Qif ((device && canOpen(*device)) ||\E/if (device ||/ @@ a boot loader not yet accessible is not waited for
dfu/FirmwareUpdate.cpp @@ s/\Q!QByteArray(memory).startsWith("Internal Flash")\E/QByteArray(memory).isEmpty()/ @@ an image for another memory than the flash is programmed
dfu/FirmwareUpdate.cpp @@ s/\Q    stage_ = UpdateStage::kFlashChanging;\E// @@ a failed erase is reported as leaving the firmware unchanged
dfu/FirmwareUpdate.cpp @@ s/\Qstage_ = UpdateStage::kFlashWritten;\E/stage_ = UpdateStage::kFlashChanging;/ @@ a failed leave after programming is reported as a partial write
dfu/FirmwareUpdate.cpp @@ s/\Q        stage_ = UpdateStage::kLeftUnchanged;\E// @@ a refused image leaves the unit said to be in its boot loader
dfu/RunDfuOperation.cpp @@ s/\QlastLogged = percent;\E// @@ the same percentage is logged at every poll
dfu/RunDfuOperation.cpp @@ s/\QunchangedMs += kPollIntervalMs;\E// @@ a hung operation is waited for forever
dfu/RunDfuOperation.cpp @@ s/\Qif (platform::interruptRequested) {\E/if (false) {/ @@ an interrupt no longer stops a DFU operation
dfu/FirmwareUpdate.cpp @@ s/\Qcontext.errorCode != kDfuErrorReadProtected && \E// @@ a read-protected chip fails the compare instead of getting the normal update

# dfuse/: the .dfu file, the memory layout, the DFU exchanges
dfuse/src/DfuFile.cpp @@ s/\Qif (imageSize != length && imageSize + kSuffixSize != length) {\E/if (imageSize != length) {/ @@ files whose recorded size leaves out the suffix are refused
dfuse/src/DfuFile.cpp @@ s/\Qif (computed != getLe32(suffix + 12)) {\E/if (false) {/ @@ a damaged file is accepted
dfuse/src/DfuFile.cpp @@ s/\Qif (elements.left() != 0) {\E/if (false) {/ @@ a target whose elements do not fill it is accepted
dfuse/src/DfuFile.cpp @@ s/\Qitem.size > 0x100000000ull\E/item.size >= 0x100000000ull/ @@ an element ending at 4 GiB is refused
dfuse/src/MemoryLayout.cpp @@ s/\Qreturn 1024;\E/return 1000;/ @@ K in a layout is read as 1000
dfuse/src/MemoryLayout.cpp @@ s/\Q(uint32_t(at) - group->address) \/ group->size * group->size\E/(uint32_t(at) - group->address)/ @@ sectors are erased at the element's address, not the sector's
dfuse/src/MemoryLayout.cpp @@ s/\Quint64_t(address) < uint64_t(group.address)\E/uint64_t(address) <= uint64_t(group.address)/ @@ the byte after a memory counts as inside it
dfuse/src/MemoryLayout.cpp @@ s/\Qif (count > 0xFFFFFFFFull || \E/if (/ @@ a group of 2^32 sectors is stored as 0 sectors
dfuse/src/DfuDiscovery.cpp @@ s/\Qreturn a.key() < b.key();\E/return b.key() < a.key();/ @@ boot loaders are taken in reverse port order
dfuse/src/DfuInterface.cpp @@ s/\Qlibusb_get_bus_number(devices[i]) != path.bus || \E// @@ a path opens the device at its ports on another bus
dfuse/src/DfuOperation.cpp @@ s/\Qfor (size_t i = 0; i < erasable.size(); ++i) {\E/for (size_t i = 1; i < erasable.size(); ++i) {/ @@ the first sector of an image is not erased
dfuse/src/DfuOperation.cpp @@ s/\Qstd::min<uint64_t>(transferSize, element.size - offset)\E/transferSize/ @@ a short last block is sent whole
dfuse/src/DfuOperation.cpp @@ s/\Qconst bool readBack = functional.canUpload();\E/const bool readBack = false;/ @@ the flash is not read back
dfuse/src/DfuOperation.cpp @@ s/\Qif (code == kDfuSuccess) {\E\s*percent_ = 100;/percent_ = 100; {/ @@ a failed operation shows 100 %
dfuse/src/DfuseSession.cpp @@ s/\Qcase kDfuStatusErrVendor:\E\s*\Qreturn kDfuErrorReadProtected;\E/case kDfuStatusErrVendor: return kDfuErrorDeviceStatus;/ @@ read protection is not named
dfuse/src/DfuseSession.cpp @@ s/\Qplatform::sleepMs(std::max<uint32_t>(waitMs, 1));\E/platform::sleepMs(1);/ @@ the device's poll time-out is not honoured
dfuse/src/DfuseSession.cpp @@ s/\Qcase kDfuStateError:\E\s*\Qdfu_.clrStatus();\E/case kDfuStateError:/ @@ dfuERROR is not cleared before an operation
dfuse/src/DfuseSession.cpp @@ s/\Qcase kDfuStateManifest:\E\s*// @@ a boot loader reporting dfuMANIFEST after the leave is taken as failing
dfuse/src/DfuseSession.cpp @@ s/\Qcase kDfuStateDnloadIdle:\E\s*\Qcase kDfuStateUploadIdle:\E/case kDfuStateDnloadIdle:/ @@ an upload left open is not aborted on the way to dfuIDLE
dfuse/src/StdfuPrt.cpp @@ s/\Qrunning->runHere();\E/running->startWorker();/ @@ the leave runs on a worker and is not over when its status is read
dfuse/src/DfuOperation.cpp @@ s/\Qsame = std::equal(read.begin(), read.begin() + length, wanted.begin() + offset);\E/same = true;/ @@ a differing block counts as equal: changed sectors are left alone
dfuse/src/DfuOperation.cpp @@ s/\Qif (image_.skipsErasedBlocks &&\E/if (false \&\&/ @@ blocks of only 0xFF are sent into erased sectors
dfuse/src/DfuseSession.cpp @@ s/\Qif (!behindPointer ||\E/if (behindPointer || true ||/ @@ the compare sets the address pointer before every block

# tarnlib/: the unit link and the settings model
tarnlib/src/UsbTransportV2.cpp @@ s/\Q<= kReleaseSpan;\E/< kReleaseSpan;/ @@ the last release of the range is no unit
tarnlib/src/UsbTransportV2.cpp @@ s/\QbcdDevice >= kFirstCompressedRelease\E/bcdDevice > kFirstCompressedRelease/ @@ the first compressing release is read plain
tarnlib/src/UsbTransportV2.cpp @@ s/\QopenFailure_ = {std::move(path), rc};\E\s*\QthrowLibusb(rc);\E/continue;/ @@ a unit that cannot be opened is passed over for the next
tarnlib/src/UsbTransportV2.cpp @@ s/\Qi < kMaxDrainPackets && readPendingPacket()\E/i < 1 && readPendingPacket()/ @@ stale packets are taken for the catalogue
tarnlib/src/UsbTransportV2.cpp @@ s/\Q% kPacketSize == 0) {\E/% kPacketSize == 1) {/ @@ the zero-length packet after whole packets stays on the endpoint
tarnlib/src/UsbTransportV2.cpp @@ s/\Qdata.size() + kFrameOverhead)\E/data.size())/ @@ a write is announced without its framing
tarnlib/src/Checksum.cpp @@ s/\Qfor (unsigned i = rest; i < 4; ++i) {\E/for (unsigned i = rest; i <= 4; ++i) {/ @@ the tail of a frame is padded by one byte too many
tarnlib/src/UsbTransportV2.cpp @@ s/\Q&libusb_device_descriptor::iSerialNumber\E/&libusb_device_descriptor::iProduct/ @@ the serial number shows the product name
tarnlib/src/SettingsModel.cpp @@ s/\Qif (!exact && partial > 1) {\E/if (!exact && partial > 2) {/ @@ an ambiguous partial name picks a setting
tarnlib/src/SettingsModel.cpp @@ s/\Qif (image.size() != length) {\E/if (image.size() > length) {/ @@ a short settings image is taken, its missing values as read
tarnlib/src/SettingsModel.cpp @@ s/(\Qpayload.insert(payload.end(), s->data().begin(), s->data().end());\E)\s*\Qs->setChanged(false);\E/$1/ @@ written settings stay marked changed
tarnlib/src/SettingsModel.cpp @@ s/\Qif (bytes > kMaxSettingBytes) {\E/if (false) {/ @@ overlapping settings may ask for any amount of memory
tarnlib/src/SettingsModel.cpp @@ s/\Q} catch (const std::logic_error& e) {\E/} catch (const std::invalid_argument\& e) {/ @@ a catalogue that does not inflate escapes the load and ends the retries
tarnlib/src/SettingsModel.cpp @@ s/\QloadFailure_ = "the unit's setting values\E[^;]*;// @@ a value image of the wrong length leaves an older cause
tarnlib/src/Setting.cpp @@ s/\Qend <= int64_t{kMaxFramePayload}\E/end <= int64_t{kMaxFramePayload} + 1/ @@ a setting ending one byte past the value image is accepted
tarnlib/src/Setting.cpp @@ s/\Qcount >= 0 && offset >= 0 &&\E/count >= 0 \&\&/ @@ a setting without an offset is accepted
tarnlib/src/InflateCatalogue.cpp @@ s/\Q? announced : kMaxCatalogueSize;\E/? kMaxCatalogueSize : kMaxCatalogueSize;/ @@ the size the unit announces bounds nothing
tarnlib/src/InflateCatalogue.cpp @@ s/\Qif (output.size() + produced > limit) {\E/if (output.size() > limit) {/ @@ a catalogue inflates a block past its bound
tarnlib/src/SettingsModelJson.cpp @@ s/\Qif (!found) {\E/if (!found) {\n            return false;/ @@ a setting the unit lacks stops an import
tarnlib/src/SettingJson.cpp @@ s/\Qconst bool array = count_ != 1;\E/const bool array = count_ > 1;/ @@ an empty setting is written without a value
tarnlib/src/cn-cbor/CborDecoder.cpp @@ s/\Qnode->value.sint = static_cast<int32_t>(~low);\E/node->value.sint = -static_cast<int32_t>(low);/ @@ negative CBOR integers are off by one

# issue 34: text cuts, number notes, private settings files, units in use
tarnlib/src/Setting.cpp @@ s/\Qwhile (kept > 0 && (static_cast<uint8_t>(text[kept]) & 0xC0) == 0x80) {\E/while (false) {/ @@ a text is cut inside a UTF-8 character
tarnlib/src/Setting.cpp @@ s/\Qlow = lead == 0xE0 ? 0xA0 : 0x80;\E/low = 0x80;/ @@ overlong three-byte forms count as UTF-8
tarnlib/src/Setting.cpp @@ s/\Qhigh = lead == 0xED ? 0x9F : 0xBF;\E/high = 0xBF;/ @@ surrogates count as UTF-8
tarnlib/src/Setting.cpp @@ s/\Q&& (held == 0) == (given == 0)\E// @@ a number too small for a float becomes 0 unsaid
tarnlib/src/SettingJson.cpp @@ s/\Qif (value.IsString() != (type_ == static_cast<uint32_t>(SettingType::Text))) {\E/if (value.IsString() && type_ != static_cast<uint32_t>(SettingType::Text)) {/ @@ a number lands in a text's first bytes
tarnlib/src/SettingsModelJson.cpp @@ s/\Qif (kept == room && kept < value.GetStringLength()) {\E/if (kept == room && kept <= value.GetStringLength()) {/ @@ a text that fills its setting is said to be cut
tarnlib/src/SettingsModelJson.cpp @@ s/\Qif (!setting.holdsAsGiven(number, index)) {\E/if (false) {/ @@ a number stored as another goes unsaid
tarnlib/src/UsbTransportV2.cpp @@ s/\Qconst bool refused = placeCheck() && !placeCheck()(place);\E/const bool refused = false;/ @@ a unit at a place another run holds is claimed
tarnlib/src/UsbTransportV2.cpp @@ s/\Qif (rc == LIBUSB_ERROR_BUSY) {\E/if (false) {/ @@ a unit in use is not told apart
app/UnitSession.cpp @@ s/\Qif (denied.inUse()) {\E/if (false) {/ @@ a unit in use is reported as one that cannot be opened
app/UnitLock.cpp @@ s/\Qif (!probe->tryLock(0) && probe->error() == QLockFile::LockFailedError) {\E/if (false) {/ @@ a run starts where another run holds the place
app/UnitLock.cpp @@ s/\Qif (holdPlace(place)) {\E/if (true) {/ @@ a boot loader another run holds is used
app/SettingsFile.cpp @@ s/\Q(S_IWOTH | S_ISVTX)\E/S_ISVTX/ @@ a world-writable folder gets settings files all may read
app/SettingsFile.h @@ s/\Q"Unable to write file for export:", true}\E/"Unable to write file for export:", false}/ @@ backups in a shared folder are readable by all
sim/src/InterfaceClaims.cpp @@ s/\Qreturn holder->second == handle ? LIBUSB_SUCCESS : LIBUSB_ERROR_BUSY;\E/return LIBUSB_SUCCESS;/ @@ a second handle claims an interface another holds
sim/src/InterfaceClaims.cpp @@ s/\Qif (!claimAcrossProcesses(file)) {\E/if (false) {/ @@ a process claims an interface another process holds
sim/src/Scenario.cpp @@ s/\Qentry != nullptr && now == placed.saved\E/false/ @@ a process writes its stale view of the devices other processes changed
app/AllUnits.cpp @@ s/\QQStringList{"--port", run.place} + \E// @@ a unit's run of --all is not pinned to its place
app/AllUnits.cpp @@ s/\Q && exitCode() == 0\E// @@ a unit whose run failed counts as updated
app/AllUnits.cpp @@ s/\Qrun.errors << relayed;\E// @@ the summary leaves out a failed unit's state and recovery commands
platform/Interrupt.cpp @@ s/\Qkill(child, signalNumber);\E// @@ a stop request does not reach the units' runs of --all
dfuse/src/DfuInterface.cpp @@ s/\Qcode = kDfuErrorDeviceBusy;\E/code = kDfuErrorUsbTransfer;/ @@ a boot loader in use is not named so

app/UpdateRecovery.cpp @@ s/\Qreturn word.mid(1, word.size() - 2).replace(quoted, plain);\E/return word;/ @@ a failed unit's settings file is named with its shell quotes in the --all summary
app/AllUnits.cpp @@ s/\Qif (progress.hasMatch() && !showProgress(run, progress.captured(1).toInt())) {\E/if (false) {/ @@ with --all every progress line of every unit is passed on
app/AllUnits.cpp @@ s/\Qsettings.Parse<rapidjson::kParseNanAndInfFlag>\E/settings.Parse<0>/ @@ a failed unit's firmware is unknown to the summary when a setting holds no number

# usb/ and platform/
usb/include/usb/LittleEndian.h @@ s/\Qstatic_cast<uint32_t>(at[2]) << 16\E/static_cast<uint32_t>(at[2]) << 8/ @@ 32-bit numbers are read with their third byte in the wrong place
usb/include/usb/LittleEndian.h @@ s/\Qvalue >> (8 * i)\E/value >> (8 * (3 - i))/ @@ 32-bit numbers are written high byte first
usb/include/usb/DeviceIds.h @@ s/\QkUnitProductId = 0x0001\E/kUnitProductId = 0x0002/ @@ the units are no longer recognised
packaging/CMakeLists.txt @@ s/string\(TOUPPER "\$\{name\}_ID" name\)/string(TOUPPER "\${name}" name)/ @@ the udev rule is written without its USB IDs
app/UnitSession.cpp @@ s/\Qthe udev rule 70-unitflash.rules\E/the udev rule 60-unitflash.rules/ @@ the advice names a rule file that is not installed
usb/include/usb/UsbOwners.h @@ s/\Qcount_ = count > 0 ?\E/count_ = count > 1 ?/ @@ a bus with one device lists none
usb/src/PortPath.cpp @@ s/\Q(result.empty() ? "" : ".")\E/"."/ @@ port paths are written with a leading dot
usb/src/PortPath.cpp @@ s/\Qdevice.ports.size() >= ports.size()\E/device.ports.size() == ports.size()/ @@ --port 1 no longer matches the unit or boot loader at 1.4
usb/src/PortPath.cpp @@ s/\Q(bus == 0 || bus == device.bus)\E/(bus == 0 || bus != 0)/ @@ a port path naming its bus matches the same ports on another bus
platform/PlatformReal.cpp @@ s/\Qstate_->changed.notify_all();\E// @@ a set Signal does not wake its waiter

# packaging/: the install rules and the Debian package
packaging/InstallUdevRule.cmake.in @@ s/ AND "\$ENV\{DESTDIR\}" STREQUAL ""// @@ the Debian package puts the udev rule in /etc
packaging/CMakeLists.txt @@ s/\Qset(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)\E// @@ the Debian package declares no dependencies
packaging/CMakeLists.txt @@ s/CONTROL_EXTRA \$\{CMAKE_CURRENT_SOURCE_DIR\}\/postinst/CONTROL_EXTRA/ @@ installing the package does not reload the udev rules
packaging/unitflash.bash-completion @@ s/\Q-X '!*.dfu' \E// @@ the completion offers every file as the firmware file
platform/PlatformReal.cpp @@ s/\Qstd::chrono::milliseconds(ms));\E\n\}/std::chrono::microseconds(ms));\n}/ @@ sleeps are a thousand times too short

# sim/usbfs: the bridge to the system's libusb
sim/usbfs/UsbfsHandler.cpp @@ s/\Qconstexpr unsigned kControlNoTimeout = 0;\E/constexpr unsigned kControlNoTimeout = 100;/ @@ the bridge gives up on a status request the boot loader holds through an erase
sim/usbfs/SignalRelay.cpp @@ s/\Q && got == 1;\E/;/ @@ a signal sent to the bridge alone is taken for its group's and not passed on
SLIPS

if [ -n "${MUTANTS_CHECK:-}" ]; then
    echo "=== $applied apply, $unapplied not applied"
    [ "$unapplied" -eq 0 ]
    exit
fi
echo "=== $killed killed, $survived survived, $unapplied not applied, $broken did not build"
for s in "${survivors[@]}"; do
    echo "SURVIVED: $s"
done
[ "$survived" -eq 0 ] && [ "$broken" -eq 0 ]
