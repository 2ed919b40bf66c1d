// The framework package and other applications: decoded into editable resources by apktool and
// built back, aligned and signed with the test key.
#include "job_helpers.h"
#include "jobs.h"

namespace orvex {

namespace {

// The folder where apktool keeps the framework it installs (1.apk), without its trailing
// separator: the tool folder, or for an installed program (whose tool folder is not the user's
// to write) the user's data folder that holds its framework folder.
std::string BinDir(const Context& ctx) {
  const std::string dataFolder = DeriveNames(StripTrailingSeparators(ctx.frameworkRoot)).dir;
  return StripTrailingSeparators(ctx.frameworkRoot.empty() || dataFolder.empty() ? ctx.root : dataFolder);
}

// The framework package: the user's own (installed from the settings window) when there is one,
// else the one of the tool folder. Relative to the tool folder when it lies there.
std::string FrameworkApk(const Context& ctx) {
  const std::string user = ctx.FrameworkFolder() + "framework-res.apk";
  if (FileSize(user) > 0 && user.rfind(ctx.root, 0) != 0) return user;
  return P({"framework", "framework-res.apk"});
}

// Installs the framework package into apktool (as 1.apk in BinDir) when asked to.
void InstallFramework(Context& ctx) {
  const std::string apk = FrameworkApk(ctx);  // absolute, or relative to the tool folder
  const std::string full = platform::ToPath(apk).is_absolute() ? apk : ctx.root + apk;
  if (ctx.settings.Int("Framework") != 1 || FileSize(full) <= 0) return;
  ctx.log.LogLine(ctx.M(126) + " framework-res.apk", false);
  RunTool(ctx, "java", "-jar " + Q("apktool.jar") + " If -p " + Q(BinDir(ctx)) + " " + Q(apk), ctx.root);
}

}  // namespace

void DecodeApk(Context& ctx, const std::string& path) {
  const JobNames n = DeriveNames(path);
  if (CheckJava(ctx) != 0) return;
  InstallFramework(ctx);
  ctx.log.LogLine(ctx.M(121) + " " + n.fileName + " " + ctx.M(30), false);
  int code = RunTool(ctx, "java",
                     "-jar " + Q(ctx.root + "apktool.jar") + " d -f -b --keep-broken-res -s -o " + Q(n.name) + " -p " +
                         Q(BinDir(ctx)) + " " + Q(n.fileName),
                     n.dir);
  LogStep(ctx, "apktool", code, false);
  DeleteFile(JoinPath(BinDir(ctx), "1.apk"));
  ctx.log.LogLine(ctx.M(122) + " " + n.fileName + " " + ctx.M(35), true);
}

void BuildApk(Context& ctx, const std::string& folder) {
  const JobNames n = DeriveNames(folder);
  const std::string src = n.path, name = n.fileName, dir = n.dir, apkName = name + ".apk";
  const std::string apk = src + ".apk", bak = apk + ".bak", built = src + "~~.apk", signedApk = src + "~.apk";
  if (CheckJava(ctx) != 0) return;
  auto close = [&] { ctx.log.LogLine(ctx.M(124) + " " + apkName + " " + ctx.M(35), true); };

  if (FileSize(apk) > 0) {
    MoveToBackup(ctx, apk, bak, apkName, apkName + ".bak");
    if (FileSize(apk) > 0) {
      // The previous package could not be moved aside: a build now would replace it.
      close();
      return;
    }
  }
  // A failed step gives the previous package back, in place of whatever that step left.
  auto restore = [&] {
    DeleteFile(apk);
    if (FileExists(bak)) RenameFile(bak, apk);
  };

  InstallFramework(ctx);
  ctx.log.LogLine(ctx.M(123) + " " + apkName + " " + ctx.M(30), false);
  int code = RunTool(ctx, "java",
                     "-jar " + Q(ctx.root + "apktool.jar") + " b -p " + Q(BinDir(ctx)) + " " + Q(name) + " -o " +
                         Q(name + "~~.apk"),
                     dir);
  if (code == 0 && FileSize(built) <= 0) code = 1;  // apktool said yes but wrote nothing
  LogStep(ctx, "apktool", code, false);

  const bool sign = ctx.settings.Int("SignatureApk") == 1, align = ctx.settings.Int("Alignment") == 1;
  auto signStep = [&](const std::string& in, const std::string& out) {
    ctx.log.LogLine(ctx.M(102) + " " + apkName, false);
    int rc = RunTool(ctx, "java",
                     "-jar " + Q("zipsigner.jar") + " " + Q("testkey.x509.pem") + " " + Q("testkey.pk8") + " " + Q(in) +
                         " " + Q(out),
                     ctx.root);
    if (rc == 0 && FileSize(out) <= 0) rc = 1;
    LogStep(ctx, "zipsigner", rc, false);
    return rc;
  };
  auto alignStep = [&](const std::string& inName, const std::string& outName) {
    ctx.log.LogLine(ctx.M(125) + " " + apkName, false);
    int rc = RunTool(ctx, ctx.Tool("zipalign"), "-f -p 4 " + Q(inName) + " " + Q(outName), dir);
    if (rc == 0 && FileSize(dir + outName) <= 0) rc = 1;
    LogStep(ctx, "zipalign", rc, false);
    return rc;
  };

  if (code != 0) {
    restore();
  } else if (sign && align) {
    // Aligning rewrites the archive and drops an APK Signature Scheme v2 block, so with both
    // steps on the package is aligned first and signed last.
    if (alignStep(name + "~~.apk", name + "~.apk") != 0 || signStep(signedApk, apk) != 0) code = 1;
    if (code != 0) restore();
  } else {
    if (!sign) {
      RenameFile(built, signedApk);
    } else if (signStep(built, signedApk) != 0) {
      code = 1;
      restore();
    }
    if (code == 0) {
      if (!align) {
        RenameFile(signedApk, apk);
      } else if (alignStep(name + "~.apk", apkName) != 0) {
        code = 1;
        restore();
      }
    }
  }

  // The backup goes only after a complete build: after a failure it is the previous package.
  if (code == 0) DropBackup(ctx, bak);
  DeleteFile(built);
  DeleteFile(signedApk);
  DeleteFile(JoinPath(BinDir(ctx), "1.apk"));
  close();
}

}  // namespace orvex
