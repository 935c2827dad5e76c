// Creates the upload control the way a page's script reaches it and shows its properties.
// Run with Windows Script Host: cscript //nologo scripting-demo.js
try {
  var control = new ActiveXObject("ovtransfer.OvTransferControl");
  WScript.Echo("created ovtransfer.OvTransferControl");
  WScript.Echo("defaults: EnabledRate=" + control.EnabledRate + " UploadRate=" + control.UploadRate +
               " DatabaseGUID=\"" + control.DatabaseGUID + "\" SnapshotUploadUrl=\"" + control.SnapshotUploadUrl + "\"");
  control.DatabaseGUID = "{9E3C1D40-6C55-4A0B-9C1E-2D1B8F6A7E01}";
  control.SnapshotUploadUrl = "http://127.0.0.1:8853/snapshot?site=demo";
  control.EnabledRate = 1;
  control.UploadRate = 1024;
  WScript.Echo("DatabaseGUID      = " + control.DatabaseGUID);
  WScript.Echo("SnapshotUploadUrl = " + control.SnapshotUploadUrl);
  WScript.Echo("EnabledRate       = " + control.EnabledRate);
  WScript.Echo("UploadRate        = " + control.UploadRate + " (x 1024 bytes per second)");
  control.Open("demo-user", "Demo User", "demo-password");
  WScript.Echo("opened user demo-user");
  control.Close();
  WScript.Echo("closed");
  WScript.Quit(0);
} catch (e) {
  WScript.Echo("demo failed: " + e.message);
  WScript.Quit(1);
}
