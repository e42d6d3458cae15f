# How ctest places the tests beside each other, read by tests/CMakeLists.txt and, for the suites'
# discovered tests, by the script that labels them when ctest runs.
#
# Tests that spend their time waiting (on a time-out of ours or of a peer, on an idle peer, on
# the soak's paced senders) carry the label "waits" and take no core. Every other test takes
# one of the "cores" of the build's cores.json (TESSALY_TEST_CORES of them, one per core unless
# told otherwise), which the test presets hand to ctest: a -j above the core count (./test gives
# one) then runs the waiting tests beside a full load of busy ones instead of leaving a core
# idle for each. A test joins WAITING_TESTS only when its processes keep a core busy for a small
# part of its time, and a wait of its own still has its margins with both cores taken.
set(WAITING_TESTS
  soak.OneMinute  # paced senders for a minute
  StoreScpInterop.AnIdleConnectionNeitherBlocksNorStays  # the provider's 30 s idle time-out
  CliEcho.ReleaseWaitsEndAfterAFewSecondsOrAfterThirty  # a peer that never answers the release
  ScpFaults.EchoscuGivesUpOnALongerDelay  # a provider told to answer 3 s late
  CliWaits.EachWaitThatRunsOutIsNamedWithItsLengthAndItsOption  # silent peers, 1 and 2 s waits
  CliWaits.TheProviderClosesWhatStaysSilentAndBadValuesAreRefused)

# The longest tests, with the seconds they took on two busy cores: a run without timings of
# its own (a clean clone) then starts them first instead of ending on them.
set(TEST_COSTS
  soak.OneMinute=86
  LargeObject.SentDumpedAndConvertedBothWaysInBoundedMemory=63
  LosslessJpegInterop.WeDecodeEveryDcmtkPredictor=57
  ConversionInterop.EveryPairOfWrittenSyntaxesOnRealAndGeneratedImages=56
  ConversionInterop.RealFilesOfEveryKind=37
  StoreScpInterop.AnIdleConnectionNeitherBlocksNorStays=31
  CliEcho.ReleaseWaitsEndAfterAFewSecondsOrAfterThirty=30
  CompressedInterop.OurEncodingsDecodeInDcmtkAndGdcm=27
  StoreScpInterop.StorescuWithEachUncompressedSyntaxProposed=21
  app.ScreenshotScript=21
  ConversionInterop.BaselineJpegSourcesDecodeAsDcmtkDecodesThem=20
  BaselineJpegInterop.PydicomFilesDecodeAsDcmdjpegDoes=14
  LosslessJpegInterop.DcmtkDecodesOurStreams=14
  DicomWebInterop.TlsWithTheServersAuthorityAndAClientCertificate=13
  app.QueryJobs=13
  app.Window=11
  LosslessJpegInterop.RealCtSliceSurvivesBothWays=11
  StoreInterop.SingleFilesInEachSyntaxChoice=10
  StoreInterop.SeriesDirectoryInEachSyntaxChoice=10
  ScpFaults.EchoscuGivesUpOnALongerDelay=8
  CliWaits.EachWaitThatRunsOutIsNamedWithItsLengthAndItsOption=6
  CliWaits.TheProviderClosesWhatStaysSilentAndBadValuesAreRefused=5)

# Gives each test its labels (LABELS, or as they are when none is given), "waits" or a core,
# and its cost.
function(tessaly_schedule)
  cmake_parse_arguments(PARSE_ARGV 0 arg "" "" "LABELS;TESTS")
  foreach(test IN LISTS arg_TESTS)
    set(cost 0)
    foreach(entry IN LISTS TEST_COSTS)
      if(entry MATCHES "^(.+)=([0-9]+)$" AND CMAKE_MATCH_1 STREQUAL test)
        set(cost ${CMAKE_MATCH_2})
      endif()
    endforeach()
    # (list(FIND), not IN_LIST: ctest reads this file under the old policies.)
    list(FIND WAITING_TESTS "${test}" waiting)
    if(waiting GREATER -1)
      set(labels ${arg_LABELS} waits)
      set(resources "")
    else()
      set(labels ${arg_LABELS})
      set(resources "cores:1")
    endif()
    if(arg_LABELS)
      set_tests_properties(${test} PROPERTIES LABELS "${labels}")
    elseif(waiting GREATER -1)
      set_property(TEST ${test} APPEND PROPERTY LABELS waits)
    endif()
    set_tests_properties(${test} PROPERTIES COST ${cost})
    if(resources)
      set_tests_properties(${test} PROPERTIES RESOURCE_GROUPS ${resources})
    endif()
  endforeach()
endfunction()
