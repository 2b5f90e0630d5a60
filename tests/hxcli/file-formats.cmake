# The sample files of 'block' and 'stream' read back: CSV, .npy and raw binary for each sample
# type, to a file and to standard output, a run trimmed to the count asked for, a .npy whose
# run fell short, and the files of a stream ended by Ctrl-C. The inputs are known: channel 0 held at 1.25 V, channel 1 at its power-up
# 0.032 V, both on the 5 V range (4000 and 102 counts).
# Usage: cmake -DHXCLI=<program> -DWORK=<scratch folder> -P file-formats.cmake
file(REMOVE_RECURSE "${WORK}")
file(MAKE_DIRECTORY "${WORK}")
set(failures "")

function(run_session name text expected_code)
  file(WRITE "${WORK}/${name}.txt" "source 1 0 0 constant --volts 1.25\n${text}")
  execute_process(COMMAND "${HXCLI}" run "${WORK}/${name}.txt" RESULT_VARIABLE code OUTPUT_VARIABLE out
                  ERROR_VARIABLE err TIMEOUT 30)
  if(NOT code EQUAL expected_code)
    message(FATAL_ERROR "session ${name}: exit ${code}, expected ${expected_code}\n${out}\n${err}")
  endif()
endfunction()

set(block "block --board 1 --samples 5 --channels 2 --range 5V --rate 500 -q")
run_session(files
  "${block} --type counts --csv ${WORK}/counts.csv --npy ${WORK}/counts.npy --bin ${WORK}/counts.bin\n${block} --type raw --csv ${WORK}/raw.csv --npy ${WORK}/raw.npy\n${block} --type volts --csv ${WORK}/volts.csv --npy ${WORK}/volts.npy\nstream --board 1 --seconds 0.05 --rate 10000 --chunk 4096 -q --npy ${WORK}/trimmed.npy\nblock --board 1 --samples 230 --channels 2 --rate 10000 --chunk 400 --type counts -q --npy ${WORK}/cut.npy --csv ${WORK}/cut.csv\n"
  0)

set(start_regex "20[0-9][0-9]-[01][0-9]-[0-3][0-9]T[0-2][0-9]:[0-5][0-9]:[0-6][0-9](\\.[0-9]+)?Z")

# CSV: the metadata, the header, one row a scan with its time since the run started.
function(check_csv file units rows)
  file(STRINGS "${WORK}/${file}" lines)
  set(expected "# board: 1" "# device: 805C" "# sequencer: 0" "# sample_rate_hz: 500" "# conversion_rate_hz: 1000"
               "# channels: 2" "# ranges: 5V,5V" "# units: ${units}")
  list(SUBLIST lines 1 8 middle)
  list(GET lines 0 version)
  list(GET lines 9 start)
  list(GET lines 10 first)
  list(SUBLIST lines 11 -1 table)
  set(times 0 0.002 0.004 0.006 0.008)
  set(expected_table "time_s,ch0,ch1")
  foreach(t IN LISTS times)
    list(APPEND expected_table "${t},${rows}")
  endforeach()
  set(bad "")
  if(NOT version MATCHES "^# halvex: [0-9]+\\.[0-9]+\\.[0-9]+$")
    string(APPEND bad " version line '${version}';")
  endif()
  if(NOT start MATCHES "^# start: ${start_regex}$" OR NOT first STREQUAL "# first_sample: 0")
    string(APPEND bad " start and first sample '${start}', '${first}';")
  endif()
  if(NOT middle STREQUAL expected)
    string(APPEND bad " metadata '${middle}';")
  endif()
  if(NOT table STREQUAL expected_table)
    string(APPEND bad " table '${table}', expected '${expected_table}';")
  endif()
  if(bad)
    set(failures "${failures}\n  ${file}:${bad}" PARENT_SCOPE)
  endif()
endfunction()
check_csv(counts.csv counts "4000,102")
check_csv(raw.csv raw "69536,1114214")
check_csv(volts.csv volts "1.25,0.031875")

# .npy: version 1.0, a 128-byte header for a (scans, channels) C-order array, then the data.
function(check_npy file descr rows columns data_hex)
  file(READ "${WORK}/${file}" magic LIMIT 10 HEX)
  file(READ "${WORK}/${file}" dict OFFSET 10 LIMIT 118)
  file(READ "${WORK}/${file}" data OFFSET 128 HEX)
  set(bad "")
  if(NOT magic STREQUAL "934e554d505901007600")
    string(APPEND bad " magic and header length ${magic};")
  endif()
  if(NOT dict MATCHES "^\\{'descr': '${descr}', 'fortran_order': False, 'shape': \\(${rows}, ${columns}\\), \\} *\n$")
    string(APPEND bad " header '${dict}';")
  endif()
  if(NOT data STREQUAL data_hex)
    string(APPEND bad " data ${data}, expected ${data_hex};")
  endif()
  if(bad)
    set(failures "${failures}\n  ${file}:${bad}" PARENT_SCOPE)
  endif()
endfunction()
string(REPEAT "a00f000066000000" 5 counts_hex)
string(REPEAT "a00f010066001100" 5 raw_hex)
string(REPEAT "000000000000f43f52b81e85eb51a03f" 5 volts_hex)
check_npy(counts.npy "<i4" 5 2 "${counts_hex}")
check_npy(raw.npy "<u4" 5 2 "${raw_hex}")
check_npy(volts.npy "<f8" 5 2 "${volts_hex}")

# Raw binary: the .npy data without a header.
file(READ "${WORK}/counts.bin" bin HEX)
if(NOT bin STREQUAL counts_hex)
  string(APPEND failures "\n  counts.bin holds ${bin}")
endif()

# The metadata of .npy and raw files, in JSON beside them: what a time axis needs, and the shape.
function(check_sidecar file units dtype)
  file(READ "${WORK}/${file}.json" json)
  set(bad "")
  foreach(pair "sample_rate_hz=500" "conversion_rate_hz=1000" "first_sample=0" "channels=2" "units=${units}"
               "dtype=${dtype}" "device=805C" "ranges=5V,5V")
    string(REPLACE "=" ";" pair "${pair}")
    list(GET pair 0 key)
    list(SUBLIST pair 1 -1 expected)
    string(JSON value ERROR_VARIABLE problem GET "${json}" ${key})
    if(problem OR NOT value STREQUAL expected)
      string(APPEND bad " ${key} '${value}';")
    endif()
  endforeach()
  string(JSON start ERROR_VARIABLE problem GET "${json}" start)
  string(JSON rows ERROR_VARIABLE problem GET "${json}" shape 0)
  if(NOT start MATCHES "^${start_regex}$" OR NOT rows EQUAL 5)
    string(APPEND bad " start '${start}', rows '${rows}';")
  endif()
  if(bad)
    set(failures "${failures}\n  ${file}.json:${bad}" PARENT_SCOPE)
  endif()
endfunction()
check_sidecar(counts.npy counts "<i4")
check_sidecar(counts.bin counts "<i4")
check_sidecar(volts.npy volts "<f8")

# 500 scans of a 1024-sample chunk: the last chunk is cut to the count asked for.
file(READ "${WORK}/trimmed.npy" dict OFFSET 10 LIMIT 118)
file(SIZE "${WORK}/trimmed.npy" size)
if(NOT dict MATCHES "'shape': \\(500, 1\\)" OR NOT size EQUAL 4128)
  string(APPEND failures "\n  trimmed.npy: ${size} bytes, header ${dict}")
endif()

# Four whole chunks of 100 samples and 60 of the fifth: the header, the sidecar and the CSV count
# 230 scans, and the CSV's times are the decimals they are (0.0003, not 0.00030000000000000003).
file(READ "${WORK}/cut.npy" dict OFFSET 10 LIMIT 118)
file(SIZE "${WORK}/cut.npy" size)
file(READ "${WORK}/cut.npy.json" json)
string(JSON rows ERROR_VARIABLE problem GET "${json}" shape 0)
file(STRINGS "${WORK}/cut.csv" csv_rows REGEX "^[0-9]")
list(LENGTH csv_rows csv_count)
list(GET csv_rows 3 fourth)
list(GET csv_rows -1 last)
if(NOT dict MATCHES "'shape': \\(230, 2\\)" OR NOT size EQUAL 1968 OR NOT rows EQUAL 230 OR NOT csv_count EQUAL 230
   OR NOT fourth MATCHES "^0\\.0003," OR NOT last MATCHES "^0\\.0229,")
  string(APPEND failures "\n  cut.npy: ${size} bytes, header ${dict}, sidecar rows ${rows}; cut.csv: ${csv_count} "
                         "rows, the fourth '${fourth}', the last '${last}'")
endif()

# Scans that straddle chunks (100 samples a chunk, 3 channels) still make whole, aligned rows.
run_session(straddling "block --board 1 --samples 500 --channels 3 --range 5V --rate 1000 --chunk 400 --type counts --csv ${WORK}/straddling.csv -q\n" 0)
file(STRINGS "${WORK}/straddling.csv" rows REGEX "^[0-9]")
list(FILTER rows EXCLUDE REGEX "^[0-9.]+,4000,102,230$")
file(STRINGS "${WORK}/straddling.csv" lines)
list(LENGTH lines count)
if(rows OR NOT count EQUAL 512)
  string(APPEND failures "\n  straddling.csv: ${count} lines; misaligned rows: ${rows}")
endif()

# Standard output carries the samples alone; the summary goes to standard error.
file(WRITE "${WORK}/stdout.txt" "source 1 0 0 constant --volts 1.25\n${block} --type counts --bin -\n")
execute_process(COMMAND "${HXCLI}" run "${WORK}/stdout.txt" RESULT_VARIABLE code OUTPUT_FILE "${WORK}/stdout.bin"
                ERROR_VARIABLE err TIMEOUT 30)
file(READ "${WORK}/stdout.bin" piped HEX)
if(NOT code EQUAL 0 OR NOT piped STREQUAL counts_hex OR NOT err MATCHES "5 of 5 samples per channel")
  string(APPEND failures "\n  --bin -: exit ${code}, standard output ${piped}, standard error ${err}")
endif()

# A run that fell short leaves a .npy whose header counts the scans it holds.
run_session(short "fail 1 --count -1\n${block} --type counts --npy ${WORK}/short.npy\n" 4)
file(READ "${WORK}/short.npy" dict OFFSET 10 LIMIT 118)
file(SIZE "${WORK}/short.npy" size)
if(NOT dict MATCHES "'shape': \\(0, 2\\)" OR NOT size EQUAL 128)
  string(APPEND failures "\n  short.npy: ${size} bytes, header ${dict}")
endif()

# Ctrl-C (SIGINT) ends a stream that has no --seconds: every file is finished with the rows that
# arrived and loads: whole CSV rows, a .npy header that counts its rows, the JSON beside it alike.
# The script waits for the stream to write, and for hxcli to end, each for a bounded time; an
# hxcli that outlives its Ctrl-C is killed, so no stream is left running.
set(interrupt [=[
env --default-signal=INT "$0" stream --board 1 --rate 2000 --channels 2 --chunk 400 --range 5V \
    --csv "$1/interrupted.csv" --npy "$1/interrupted.npy" -q > "$1/interrupted.out" 2>&1 &
pid=$!
i=0
while [ $i -lt 300 ] && [ ! -s "$1/interrupted.csv" ]; do sleep 0.1; i=$((i+1)); done
kill -INT $pid
i=0
while [ $i -lt 300 ] && kill -0 $pid 2>/dev/null; do sleep 0.1; i=$((i+1)); done
if kill -0 $pid 2>/dev/null; then kill -KILL $pid; wait $pid; echo "hxcli went on after Ctrl-C"; exit 99; fi
wait $pid
]=])
execute_process(COMMAND sh -c "${interrupt}" "${HXCLI}" "${WORK}" RESULT_VARIABLE code OUTPUT_VARIABLE out
                ERROR_VARIABLE err TIMEOUT 80)
file(READ "${WORK}/interrupted.out" summary)
string(REGEX MATCH "board 1: ([0-9]+) samples per channel \\(ended by Ctrl-C\\)" counted "${summary}")
set(rows "${CMAKE_MATCH_1}")
if(NOT code EQUAL 130 OR NOT counted OR rows LESS 1)
  string(APPEND failures "\n  Ctrl-C: exit ${code}, ${out}${err}, hxcli said: ${summary}")
else()
  file(READ "${WORK}/interrupted.npy" dict OFFSET 10 LIMIT 118)
  file(SIZE "${WORK}/interrupted.npy" size)
  math(EXPR expected_size "128 + ${rows} * 2 * 8")
  file(READ "${WORK}/interrupted.npy.json" json)
  string(JSON json_rows ERROR_VARIABLE problem GET "${json}" shape 0)
  file(STRINGS "${WORK}/interrupted.csv" csv_rows REGEX "^[0-9]")
  list(LENGTH csv_rows csv_count)
  list(FILTER csv_rows EXCLUDE REGEX "^[0-9.]+,-?[0-9.]+,-?[0-9.]+$")
  file(READ "${WORK}/interrupted.csv" csv)
  string(LENGTH "${csv}" csv_length)
  math(EXPR last "${csv_length} - 1")
  string(SUBSTRING "${csv}" ${last} 1 csv_end)
  if(NOT dict MATCHES "'shape': \\(${rows}, 2\\)" OR NOT size EQUAL expected_size OR NOT json_rows EQUAL rows
     OR NOT csv_count EQUAL rows OR csv_rows OR NOT csv_end STREQUAL "\n")
    string(APPEND failures "\n  Ctrl-C after ${rows} rows: .npy ${size} bytes, header ${dict}; JSON rows "
                           "${json_rows}; CSV rows ${csv_count}, broken rows '${csv_rows}'")
  endif()
endif()

if(failures)
  message(FATAL_ERROR "sample files:${failures}")
endif()
