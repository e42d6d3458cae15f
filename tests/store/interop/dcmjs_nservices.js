// dcmjs-dimse as an independent modality: one storage commitment (the report awaited on its own
// association) or one performed procedure step created, completed and set once more. Prints one
// line per response or report for the test to read.
const [, , port, mode, sopClass, sopInstance] = process.argv;
const { Client, Dataset } = require('dcmjs-dimse');
const { NActionRequest, NCreateRequest, NSetRequest } = require('dcmjs-dimse').requests;
const { NEventReportResponse } = require('dcmjs-dimse').responses;
const { SopClass, Status } = require('dcmjs-dimse').constants;

require('dcmjs-dimse').log.setLevel('error');
const client = new Client();
const answered = (name) => (response) => console.log(`${name} ${response.getStatus()}`);

if (mode === 'commit') {
  const request = new NActionRequest(SopClass.StorageCommitmentPushModel, '1.2.840.10008.1.20.1.1', 1);
  request.setDataset(new Dataset({
    TransactionUID: '1.2.826.0.1.3680043.77',
    ReferencedSOPSequence: [
      { ReferencedSOPClassUID: sopClass, ReferencedSOPInstanceUID: sopInstance },
      { ReferencedSOPClassUID: sopClass, ReferencedSOPInstanceUID: '1.2.826.0.1.3680043.78' },
    ],
  }));
  request.on('response', answered('N-ACTION'));
  client.addRequest(request);
  client.on('nEventReportRequest', (report, callback) => {
    const e = report.getDataset().getElements();
    const uids = (items, reason) => (items || []).map((i) =>
      i.ReferencedSOPInstanceUID + (reason ? `:${i.FailureReason}` : '')).join(',');
    console.log(`REPORT ${report.getEventTypeId()} ${e.TransactionUID} committed ${uids(e.ReferencedSOPSequence)}` +
      ` failed ${uids(e.FailedSOPSequence, true)}`);
    const response = NEventReportResponse.fromRequest(report);
    response.setStatus(Status.Success);
    callback(response);
  });
} else {
  const uid = '1.2.826.0.1.3680043.79';
  const create = new NCreateRequest(SopClass.ModalityPerformedProcedureStep, uid);
  create.setDataset(new Dataset({
    Modality: 'CT', PerformedStationAETitle: 'DCMJS', PerformedProcedureStepStartDate: '20260101',
    PerformedProcedureStepStartTime: '120000', PerformedProcedureStepStatus: 'IN PROGRESS',
    PerformedProcedureStepID: 'P1', PatientName: 'DOE^JANE', PatientID: 'P1',
    ScheduledStepAttributesSequence: [{ StudyInstanceUID: '1.2.826.0.1.3680043.80', AccessionNumber: 'A1' }],
  }));
  create.on('response', answered('N-CREATE'));
  const finish = (status, name) => {
    const set = new NSetRequest(SopClass.ModalityPerformedProcedureStep, uid);
    set.setDataset(new Dataset({ PerformedProcedureStepStatus: status,
      PerformedProcedureStepEndDate: '20260101', PerformedProcedureStepEndTime: '121500' }));
    set.on('response', answered(name));
    return set;
  };
  client.addRequest(create);
  client.addRequest(finish('COMPLETED', 'N-SET'));
  client.addRequest(finish('DISCONTINUED', 'N-SET-AGAIN'));
}
// What the test reads is the lines above; a connection reset after the release is no failure.
client.on('networkError', (e) => console.error(`network error ${e}`));
client.send('127.0.0.1', Number(port), 'DCMJS', 'ANY-SCP', { associationLingerTimeout: 3000 });
