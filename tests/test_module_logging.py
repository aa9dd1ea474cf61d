"""The logging set-up every device module performs while it is imported."""
import datetime
import json
import os
import subprocess
import sys

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

# module, log file prefix, logger name
LOGGING_MODULES = [
    ("libs.kx_camera_basler", "kx_camera_basler_", "kx_camera_basler"),
]

REPORT = """
import json, logging, sys
import {module} as m
print(json.dumps({{"day": m.day, "logdir": m.logdir, "logfile": m.logfile,
                  "logger": m.l.name, "same_logger": m.l is logging.getLogger(m.l.name),
                  "log": m.log.__name__}}))
"""


def import_in(cwd, module, root_path):
    env = dict(os.environ, PYTHONPATH=ROOT)
    env.pop("ROOT_PATH", None)
    if root_path is not None:
        env["ROOT_PATH"] = root_path
    done = subprocess.run([sys.executable, "-c", REPORT.format(module=module)], cwd=str(cwd), env=env,
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, universal_newlines=True, timeout=120)
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout)


@pytest.mark.parametrize("module, prefix, logger", LOGGING_MODULES)
@pytest.mark.parametrize("root_path, expected_logdir", [
    (None, "./logs"),
    ("", "logs"),  # present but empty: a relative "logs"
    ("{tmp}/app", "{tmp}/app/logs"),
])
def test_log_file_place_and_name(tmp_path, module, prefix, logger, root_path, expected_logdir):
    work = tmp_path / "work"
    work.mkdir()
    if root_path is not None:
        root_path = root_path.format(tmp=tmp_path)
    report = import_in(work, module, root_path)
    day = datetime.date.today().strftime("%d_%m_%Y")
    expected_logdir = expected_logdir.format(tmp=tmp_path)
    assert report == {"day": day, "logdir": expected_logdir,
                      "logfile": os.path.join(expected_logdir, prefix + day + ".log"),
                      "logger": logger, "same_logger": True, "log": "libs.kx_logger"}
    logfile = report["logfile"] if os.path.isabs(report["logfile"]) else str(work / report["logfile"])
    assert os.path.getsize(logfile) > 0
    # The logger factory makes ./logs in the working directory in any case.
    assert (work / "logs").is_dir()


@pytest.mark.parametrize("module, prefix, logger", LOGGING_MODULES)
def test_same_day_appends(tmp_path, module, prefix, logger):
    import_in(tmp_path, module, str(tmp_path))
    (logfile,) = (tmp_path / "logs").glob(prefix + "*.log")
    first = logfile.read_text()
    import_in(tmp_path, module, str(tmp_path))
    assert logfile.read_text().startswith(first) and len(logfile.read_text()) > len(first)


@pytest.mark.parametrize("module, prefix, logger", LOGGING_MODULES)
def test_unwritable_log_directory_fails_the_import(tmp_path, module, prefix, logger):
    (tmp_path / "logs").write_text("a file where the directory should be")
    env = dict(os.environ, PYTHONPATH=ROOT, ROOT_PATH=str(tmp_path))
    done = subprocess.run([sys.executable, "-c", "import " + module], cwd=str(tmp_path), env=env,
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, universal_newlines=True, timeout=120)
    assert done.returncode != 0
    assert "FileExistsError" in done.stderr
