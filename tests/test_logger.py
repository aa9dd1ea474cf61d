import logging
import os
import uuid

import pytest

import libs.kx_logger as kxl

LINE_FORMAT = "%(asctime)s - %(name)s - %(levelname)s - %(message)s"


@pytest.fixture(autouse=True)
def in_scratch_directory(tmp_path, monkeypatch):
    """The factory makes ./logs wherever it runs: keep that out of the checkout."""
    monkeypatch.chdir(tmp_path)


@pytest.fixture
def logger_name():
    """A fresh logger name; its handlers are closed and dropped afterwards."""
    name = "test-" + uuid.uuid4().hex
    yield name
    logger = logging.getLogger(name)
    for handler in list(logger.handlers):
        handler.close()
        logger.removeHandler(handler)


def test_class_is_plain():
    assert kxl.kx_logger.__bases__ == (object,)
    assert vars(kxl.kx_logger()) == {}


def test_createlogger_writes_formatted_lines(tmp_path, logger_name):
    logfile = tmp_path / "cam_01_01_2026.log"
    logger = kxl.kx_logger().createlogger(logger_name, str(logfile))
    assert logger is logging.getLogger(logger_name)
    assert logger.level == logging.DEBUG
    (handler,) = logger.handlers
    assert isinstance(handler, logging.FileHandler) and handler.level == logging.DEBUG
    assert handler.formatter._fmt == LINE_FORMAT and handler.formatter.datefmt is None
    logger.debug("first")
    logger.info("second")
    stamp, name, level, message = logfile.read_text().splitlines()[1].split(" - ")
    assert (name, level, message) == (logger_name, "INFO", "second")
    assert len(stamp) == len("2026-12-11 03:46:12,123")


def test_second_createlogger_adds_a_handler(tmp_path, logger_name):
    logfile = str(tmp_path / "a.log")
    first = kxl.kx_logger().createlogger(logger_name, logfile)
    second = kxl.kx_logger().createlogger(vname=logger_name, logname=logfile)
    assert first is second and len(first.handlers) == 2
    first.info("twice")
    assert open(logfile).read().count("twice") == 2


def test_log_file_is_appended(tmp_path, logger_name):
    logfile = tmp_path / "a.log"
    logfile.write_text("earlier line\n")
    kxl.kx_logger().createlogger(logger_name, str(logfile)).info("later")
    assert logfile.read_text().startswith("earlier line\n")


def test_missing_directory_is_not_created(tmp_path, logger_name):
    missing = tmp_path / "nowhere" / "a.log"
    with pytest.raises(FileNotFoundError):
        kxl.kx_logger().createlogger(logger_name, str(missing))
    assert not missing.parent.exists()


def test_constructor_makes_logs_in_the_working_directory(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    monkeypatch.setenv("ROOT_PATH", str(tmp_path / "elsewhere"))
    kxl.kx_logger()
    assert (tmp_path / "logs").is_dir()
    (tmp_path / "logs" / "keep").write_text("x")
    kxl.kx_logger()
    assert (tmp_path / "logs" / "keep").read_text() == "x"


def test_constructor_tolerates_a_concurrent_creator(tmp_path, monkeypatch):
    """./logs appears between the check and the creation."""
    monkeypatch.chdir(tmp_path)
    (tmp_path / "logs").mkdir()
    monkeypatch.setattr(os.path, "exists", lambda path: False)
    kxl.kx_logger()


def test_constructor_reports_a_name_that_is_no_directory(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    os.symlink(str(tmp_path / "gone"), str(tmp_path / "logs"))
    with pytest.raises(FileExistsError):
        kxl.kx_logger()


def test_logging_is_looked_up_at_call_time(tmp_path, monkeypatch, logger_name):
    calls = []

    class RecordingLogging:
        DEBUG = logging.DEBUG
        Formatter = logging.Formatter

        @staticmethod
        def getLogger(name):
            calls.append(name)
            return logging.getLogger(name)

        @staticmethod
        def FileHandler(path):
            calls.append(path)
            return logging.FileHandler(path)

    monkeypatch.setattr(kxl, "logging", RecordingLogging)
    kxl.kx_logger().createlogger(logger_name, str(tmp_path / "a.log"))
    assert calls == [logger_name, str(tmp_path / "a.log")]
