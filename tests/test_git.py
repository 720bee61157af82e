import os
import subprocess
import threading
import time

import pytest

import vesk.git
from vesk.git import commit_sha_of

GIT_ENV = {**os.environ, "GIT_AUTHOR_NAME": "T", "GIT_AUTHOR_EMAIL": "t@example.invalid", "GIT_COMMITTER_NAME": "T",
           "GIT_COMMITTER_EMAIL": "t@example.invalid", "GIT_CONFIG_GLOBAL": os.devnull, "GIT_CONFIG_NOSYSTEM": "1"}


def git(cwd, *args):
    done = subprocess.run(["git", *args], cwd=cwd, env=GIT_ENV, check=True, capture_output=True, text=True)
    return done.stdout.strip()


def head(cwd):
    return git(cwd, "rev-parse", "HEAD")


def commit(cwd, message):
    # Distinct messages: same parent, tree and second would otherwise give the same sha.
    git(cwd, "commit", "--allow-empty", "-q", "-m", message)


@pytest.fixture
def repo(tmp_path):
    path = tmp_path / "repo"
    path.mkdir()
    git(path, "init", "-q", "-b", "main")
    commit(path, "first")
    commit(path, "second")
    return path


@pytest.fixture
def no_subprocess(monkeypatch):
    """Ordinary repositories must be answered from their files alone."""
    monkeypatch.setattr(vesk.git, "subprocess", None)


@pytest.fixture
def outside(tmp_path):
    if subprocess.run(["git", "rev-parse", "HEAD"], cwd=tmp_path, capture_output=True).returncode == 0:
        pytest.skip("the temporary folder is itself inside a git work tree")
    return tmp_path


@pytest.mark.parametrize(
    "setup",
    [
        lambda r: None,
        lambda r: git(r, "checkout", "-q", "--detach", "HEAD~1"),
        lambda r: (git(r, "pack-refs", "--all"), (r / ".git/refs/heads/main").exists() and pytest.fail("not packed")),
        # The new loose ref must win over the stale packed one.
        lambda r: (git(r, "pack-refs", "--all"), commit(r, "after pack")),
        lambda r: (git(r, "checkout", "-q", "-b", "feature/x", "HEAD~1"), commit(r, "on feature")),
        lambda r: (git(r, "checkout", "-q", "-b", "other", "HEAD~1"), git(r, "pack-refs", "--all"),
                   git(r, "symbolic-ref", "refs/heads/alias", "refs/heads/other"),
                   git(r, "symbolic-ref", "HEAD", "refs/heads/alias")),
    ],
    ids=["branch", "detached", "packed", "loose-over-packed", "nested-branch-name", "symref-to-packed"],
)
def test_head_forms(repo, no_subprocess, setup):
    setup(repo)
    (repo / "sub" / "dir").mkdir(parents=True)
    assert commit_sha_of(repo) == commit_sha_of(repo / "sub" / "dir") == head(repo)


def test_linked_worktree(repo, no_subprocess, tmp_path):
    worktree = tmp_path / "wt"
    git(repo, "worktree", "add", "-q", "-b", "other", str(worktree), "HEAD~1")
    commit(worktree, "in worktree")
    assert (worktree / ".git").is_file() and head(repo) != head(worktree)
    assert (commit_sha_of(worktree), commit_sha_of(repo)) == (head(worktree), head(repo))


def test_no_commit_to_find(tmp_path, outside, no_subprocess):
    git(tmp_path, "init", "-q", "unborn")
    assert commit_sha_of(tmp_path / "unborn") is None
    assert commit_sha_of(outside) is None


@pytest.mark.parametrize("in_repo", [True, False])
def test_commit_sha_is_computed_once(repo, outside, monkeypatch, in_repo):
    monkeypatch.delitem(vesk.git.__dict__, "COMMIT_SHA", raising=False)
    monkeypatch.chdir(repo / ".git" if in_repo else outside)  # inside the git dir still finds the repository
    first = vesk.git.COMMIT_SHA
    assert first == (head(repo) if in_repo else None)
    commit(repo, "later")
    monkeypatch.chdir(outside if in_repo else repo)
    assert vesk.git.COMMIT_SHA == first
    vesk.git.__dict__.pop("COMMIT_SHA")


@pytest.mark.parametrize(
    "outcome, expected",
    [(subprocess.CompletedProcess([], 0, stdout="a" * 40 + "\n"), "a" * 40),
     (subprocess.CompletedProcess([], 128, ""), None),
     (subprocess.TimeoutExpired("git", 5), None),
     (FileNotFoundError("git"), None)],
    ids=["answers", "fails", "times-out", "not-installed"],
)
def test_asks_git_once_when_files_cannot_decide(repo, monkeypatch, outcome, expected):
    (repo / ".git" / "HEAD").write_text("something new\n")
    calls = []

    def fake_run(args, **kwargs):
        calls.append(kwargs["timeout"])
        if isinstance(outcome, BaseException):
            raise outcome
        return outcome

    monkeypatch.setattr(vesk.git.subprocess, "run", fake_run)
    assert commit_sha_of(repo) == expected and len(calls) == 1


@pytest.mark.filterwarnings("ignore::DeprecationWarning")  # fork() with another thread running
def test_a_fork_while_another_thread_looks_the_commit_up_finds_it_too(monkeypatch):
    monkeypatch.delitem(vars(vesk.git), "COMMIT_SHA", raising=False)
    looking, go_on = threading.Event(), threading.Event()
    monkeypatch.setattr(vesk.git, "_current", lambda: (looking.set(), go_on.wait(10), "abc")[-1])
    thread = threading.Thread(target=lambda: vesk.git.COMMIT_SHA)
    thread.start()
    looking.wait(10)
    pid = os.fork()
    if pid == 0:
        go_on.set()  # the child's copy: no thread of its own is looking any more
        os._exit(0 if vesk.git.COMMIT_SHA == "abc" else 1)
    go_on.set()
    thread.join()
    for _ in range(500):
        done, status = os.waitpid(pid, os.WNOHANG)
        if done:
            break
        time.sleep(0.01)
    else:
        os.kill(pid, 9)
        os.waitpid(pid, 0)
        pytest.fail("the child waited for a lock taken by a thread it does not have")
    assert os.waitstatus_to_exitcode(status) == 0
