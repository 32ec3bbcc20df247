"""The demo as a user runs it (``python -m taloma.demo``), and its runner."""

from __future__ import annotations

import io
import re
import shutil
import subprocess
import sys
import time
import types
from pathlib import Path

import pytest

from support import child_env
from taloma import demo as runner
from taloma.demo import Demo, StepFailed

STEP = re.compile(r"^ *(\d+)  (.+?) +(ok|FAILED) +(\d+\.\d\d) s$")


def run_demo(cwd: Path, *args: str, path: str | None = None) -> subprocess.CompletedProcess[str]:
    env = child_env()
    if path is not None:
        env["PATH"] = path
    return subprocess.run(
        [sys.executable, "-m", "taloma.demo", *args], cwd=cwd, env=env, capture_output=True, text=True, timeout=300
    )


def steps(report: str) -> list[tuple[int, str, str]]:
    return [(int(m[1]), m[2], m[3]) for m in map(STEP.match, report.splitlines()) if m]


def block(report: str, title: str) -> str:
    """The lines a step wrote under its result line."""
    lines = report.splitlines()
    at = next(i for i, line in enumerate(lines) if (m := STEP.match(line)) and m[2] == title)
    end = next((i for i in range(at + 1, len(lines)) if STEP.match(lines[i]) or not lines[i]), len(lines))
    return "\n".join(lines[at + 1 : end])


@pytest.fixture(scope="module")
def demo_run(tmp_path_factory: pytest.TempPathFactory) -> tuple[subprocess.CompletedProcess[str], Path]:
    pytest.importorskip("taloma.Vorn.ca", reason="the signing module is not built")
    if shutil.which("openssl") is None:
        pytest.skip("the demo makes its certificate with the openssl command")
    cwd = tmp_path_factory.mktemp("demo-cwd")
    return run_demo(cwd, "--orders", "120", "--messages", "500"), cwd


class TestReport:
    def test_every_step_succeeds_and_the_exit_says_so(self, demo_run) -> None:
        done, _ = demo_run
        assert done.returncode == 0, done.stdout[-3000:] + done.stderr[-3000:]
        found = steps(done.stdout)
        assert [n for n, _, _ in found] == list(range(1, len(found) + 1))
        assert {verdict for _, _, verdict in found} == {"ok"}
        assert f"summary: {len(found)} steps, all ok" in done.stdout
        assert done.stdout.rstrip().endswith("demo finished: every step succeeded")
        assert "Traceback" not in done.stderr

    def test_the_road_of_an_order_is_all_there_in_order(self, demo_run) -> None:
        titles = [title for _, title, _ in steps(demo_run[0].stdout)]
        road = [
            "make a throwaway CA and a user certificate (PKCS#12)",
            "log in as A123456789",
            "download the stocks (product type 'S')",
            "download the futures (product type 'F')",
            "download the options (product type 'O')",
            "download the indices (product type 'I')",
            "open the user certificate with the signing module",
            "the broker refuses an order whose signature was altered",
            "sign and place a future order",
            "sign and place an option order",
            "query the orders (resp2trade)",
            "change the future's price to 15990",
            "reduce the option order by 1",
            "cancel the future order",
            "query the orders again",
            "futures margin (NTD, real time)",
            "futures open positions (summary)",
            "market data: decode a generated trading day",
            "market data: bus topics",
            "rate: 120 signed orders placed, listed, cancelled",
            "rate: decode 3,500 quotes, ticks and books",
        ]
        assert [t for t in titles if t in road] == road

    def test_the_records_show_the_final_state(self, demo_run) -> None:
        report = demo_run[0].stdout
        final = block(report, "query the orders again")
        assert re.search(r"msg='order cancelled' +filled=0 cancelled=2 new price=15990", final)
        assert re.search(r"msg='quantity reduced' +filled=0 cancelled=1 new price=0", final)
        assert "the service lists 2 orders" in final
        placed = block(report, "sign and place a future order")
        assert re.search(r"TXF\w+ Buy 2 @ 16000 LMT ROD +seqno='\d{6}' ordno='\w{5}'", placed)
        assert "ticks TIC/v1/FOP/*/TFE/TXF" in placed
        # Refused for its signature, not for a malformed ca_content.
        assert "refused: 'ca_content signature rejected" in block(
            report, "the broker refuses an order whose signature was altered"
        )

    def test_the_strategy_reads_ticks_from_the_bus_and_places_a_signed_order(self, demo_run) -> None:
        report = demo_run[0].stdout
        ticks = re.findall(r"^   \d\d:\d\d:\d\d\.\d{6}  (TXF\w+) (\d+) x (\d+)  day volume (\d+)", report, re.M)
        assert len(ticks) == 5 and len({code for code, *_ in ticks}) == 1
        assert [int(day) for *_, day in ticks] == sorted(int(day) for *_, day in ticks)
        first, last = int(ticks[0][1]), int(ticks[-1][1])
        action = "Buy" if last >= first else "Sell"
        assert re.search(rf"{action} 1 {ticks[0][0]} @ {last} LMT ROD, PendingSubmit seqno='\d{{6}}'", report)
        assert "'refused': 0" in report

    def test_the_rates_are_measured(self, demo_run) -> None:
        report = demo_run[0].stdout
        # Below 100 a second a rate keeps one decimal.
        rates = dict(re.findall(r"^   (signatures|orders|cancels|decodes) +([\d,]+(?:\.\d)?) /s", report, re.M))
        assert set(rates) == {"signatures", "orders", "cancels", "decodes"}
        assert all(float(v.replace(",", "")) > 0 for v in rates.values())
        assert "signed cancels" in report and "3,500 quotes" in report

    def test_it_leaves_no_file_behind(self, demo_run) -> None:
        done, cwd = demo_run
        assert list(cwd.iterdir()) == []  # the PKI library's log and property files stayed in the scratch folder
        pfx = re.search(r"^   (/\S+/demo-user\.p12)$", done.stdout, re.M)
        assert pfx and not Path(pfx[1]).exists() and not Path(pfx[1]).parent.parent.exists()


def test_a_failed_step_fails_the_demo_and_the_rest_still_runs(tmp_path: Path) -> None:
    pytest.importorskip("taloma.Vorn.ca", reason="the signing module is not built")
    # Without the openssl command there is no certificate, so nothing can be signed.
    done = run_demo(tmp_path, "--orders", "5", "--messages", "10", path=str(tmp_path))
    assert done.returncode == 1
    verdicts = {title: verdict for _, title, verdict in steps(done.stdout)}
    assert verdicts["make a throwaway CA and a user certificate (PKCS#12)"] == "FAILED"
    assert verdicts["open the user certificate with the signing module"] == "FAILED"
    assert verdicts["download the options (product type 'O')"] == "ok"
    assert "it checks no signatures" in done.stdout
    failed = [title for title, verdict in verdicts.items() if verdict == "FAILED"]
    assert done.stdout.rstrip().endswith(f"demo FAILED in {len(failed)} step(s): {', '.join(failed)}")


class TestRunner:
    def test_a_step_reports_its_lines_under_its_result(self) -> None:
        out = io.StringIO()
        ctx = Demo(out=out)
        with ctx.step("first"):
            ctx.say("   detail")
            with ctx.step("inner"):
                ctx.say("   inner detail")
        with ctx.step("second"):
            raise StepFailed("no such thing")
        lines = out.getvalue().splitlines()
        assert [STEP.match(lines[i]).group(2, 3) for i in (0, 2, 4)] == [
            ("first", "ok"),
            ("inner", "ok"),
            ("second", "FAILED"),
        ]
        assert lines[1] == "   detail" and lines[3] == "   inner detail"
        assert lines[5] == "   FAILED: StepFailed: no such thing"
        assert ctx.failures == ["second"] and ctx.passed == 2

    @pytest.mark.parametrize("error, traced", [(StepFailed("refused"), False), (KeyError("token"), True)])
    def test_unexpected_errors_leave_a_traceback(self, capsys, error, traced) -> None:
        ctx = Demo(out=io.StringIO())
        with ctx.step("step"):
            raise error
        assert ("Traceback" in capsys.readouterr().err) is traced and ctx.failures == ["step"]

    def test_an_interrupt_is_not_swallowed(self) -> None:
        ctx = Demo(out=io.StringIO())
        with pytest.raises(KeyboardInterrupt), ctx.step("step"):
            raise KeyboardInterrupt
        assert ctx.failures == []

    @pytest.mark.parametrize("elapsed, lines", [(0.0, 0), (5.0, 3)])
    def test_plain_progress_lines_only_for_long_steps(self, monkeypatch, elapsed, lines) -> None:
        out = io.StringIO()
        ctx = Demo(out=out)
        with ctx.step("long"):
            ctx._steps[-1].start -= elapsed
            progress = ctx.progress(100, "things")
            for _ in range(100):
                progress.advance()
        shown = [line for line in out.getvalue().splitlines() if line.startswith("   .. long:")]
        assert len(shown) == lines
        if lines:
            assert shown == ["   .. long: 25/100 things", "   .. long: 50/100 things", "   .. long: 75/100 things"]

    def test_a_live_line_is_drawn_and_wiped(self, monkeypatch) -> None:
        monkeypatch.setattr(runner, "LIVE_DELAY", 0.0)
        out = io.StringIO()
        ctx = Demo(out=out, live=True)
        seen = []
        with ctx.step("slow"):
            progress = ctx.progress(4, "parts")
            progress.advance(2)
            deadline = time.monotonic() + 10
            while "2/4" not in out.getvalue() and time.monotonic() < deadline:
                time.sleep(0.01)
            seen.append(out.getvalue())
        assert "\r\033[K  1  slow  [##########..........] 2/4 parts" in seen[0]
        # The result line replaces the live one.
        assert re.search(r"\r\033\[K  1  slow +ok +\d+\.\d\d s\n$", out.getvalue())
        assert not ctx._live_shown

    def test_a_failure_outside_the_steps_fails_the_demo(self, monkeypatch, capsys) -> None:
        def broken() -> list:
            raise ImportError("taloma.demo.market is missing")

        monkeypatch.setattr(runner, "_sections", broken)
        monkeypatch.setattr(sys, "stdout", io.StringIO())
        assert runner.main([]) == 1
        report = sys.stdout.getvalue()
        assert "demo FAILED in 1 step(s): the demo itself (ImportError: taloma.demo.market is missing)" in report

    def test_a_section_broken_outside_its_steps_does_not_stop_the_others(self, monkeypatch, capsys) -> None:
        import taloma.backend.http as settings

        monkeypatch.setattr(settings, "api_url_simulation", settings.api_url_simulation)
        served = []

        def broken(ctx: Demo) -> None:
            raise RuntimeError("a bug")

        def fine(ctx: Demo) -> None:
            with ctx.step("after"):
                served.append(ctx.broker.base_url)

        ctx = Demo(out=io.StringIO())
        runner.run_sections(
            ctx,
            [
                types.SimpleNamespace(__name__="taloma.demo.first", run=broken),
                types.SimpleNamespace(__name__="taloma.demo.second", run=fine),
            ],
            {},
        )
        assert ctx.failures == ["the first section (RuntimeError: a bug)"] and ctx.passed == 1
        assert served == [settings.api_url_simulation] and "RuntimeError: a bug" in capsys.readouterr().err

    @pytest.mark.parametrize("args", [["--orders", "0"], ["--messages", "-1"], ["--orders", "x"]])
    def test_bad_arguments_are_refused(self, args) -> None:
        with pytest.raises(SystemExit) as exc:
            runner.main(args)
        assert exc.value.code == 2
