"""ServerError: the exception for error replies of the service."""

from __future__ import annotations

import pickle

import pytest

from taloma.backend.error import ServerError


@pytest.mark.parametrize(
    "code,message,text",
    [
        (404, "Not Found", "404 : Not Found"),
        ("", "", " : "),
        ("E01", "a : b", "E01 : a : b"),
        (None, None, "None : None"),
        (1.5, ["x"], "1.5 : ['x']"),
    ],
)
def test_text_and_attributes(code, message, text) -> None:
    err = ServerError(code, message)
    assert (str(err), err.args) == (text, (text,))
    assert err.code is code and err.message is message


def test_keywords_and_catching() -> None:
    with pytest.raises(Exception) as caught:
        raise ServerError(message="Not Found", code=404)
    assert type(caught.value) is ServerError and caught.value.code == 404
    assert ServerError.__doc__ == "Raise when server responses with an error."
    assert ServerError.__mro__[1] is Exception


@pytest.mark.parametrize(
    "args,kwargs", [((), {}), ((1,), {}), ((1, 2, 3), {}), ((1, 2), {"extra": 3}), ((1,), {"code": 2})]
)
def test_wrong_arguments(args, kwargs) -> None:
    with pytest.raises(TypeError):
        ServerError(*args, **kwargs)


def test_pickle_keeps_code_and_message() -> None:
    err = pickle.loads(pickle.dumps(ServerError(500, "boom")))
    assert (err.code, err.message, str(err)) == (500, "boom", "500 : boom")
